// A phone device that the user may not open is reported once per kind of
// device (modem ports, USB device nodes), naming the device and the missing
// udev rules, on standard error and in the phone trace, however often the
// device search retries. (The emulated devices of the USB route's tests
// cannot refuse an open without ending the test program, so the two calls
// in LibusbBus.cpp are not exercised there.)

#include "platform/Clock.h"
#include "platform/LibusbBus.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace orv {
namespace {

std::vector<std::string> Lines(std::istream&& in)
{
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST(NoPermission, NamedOnceForEachKindOfDeviceOnStandardErrorAndInTheTrace)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string trace = dir.filePath(QStringLiteral("phone.trace")).toStdString();
    ::setenv("ORVELLO_PHONE_TRACE", trace.c_str(), 1);
    testing::internal::CaptureStderr();
    for (int search = 0; search < 3; ++search) {
        ReportNoPermission("/dev/ttyACM0");
        ReportNoPermission("/dev/bus/usb/001/007");
    }
    ReportNoPermission("/dev/ttyACM1");          // another port: the same problem, said already
    ReportNoPermission("/dev/bus/usb/002/003");  // likewise
    const std::vector<std::string> said = Lines(std::istringstream(testing::internal::GetCapturedStderr()));
    ::unsetenv("ORVELLO_PHONE_TRACE");

    const std::string rules = ": the udev rules for the phone are missing (";
    ASSERT_EQ(said.size(), 2u);
    EXPECT_EQ(said[0].rfind("orvello: no permission to open the phone's device /dev/ttyACM0" + rules, 0), 0u)
        << said[0];
    EXPECT_EQ(said[1].rfind("orvello: no permission to open the phone's device /dev/bus/usb/001/007" + rules, 0),
              0u)
        << said[1];
    EXPECT_NE(said[0].find("/70-orvello.rules); install them and plug the phone in again, see orvello(1)"),
              std::string::npos)
        << said[0];

    const std::vector<std::string> traced = Lines(std::ifstream(trace));
    ASSERT_EQ(traced.size(), 2u);
    EXPECT_EQ(traced[0], "# " + said[0].substr(std::string("orvello: ").size()));
    EXPECT_EQ(traced[1], "# " + said[1].substr(std::string("orvello: ").size()));
}

// The window asks the bus which device was refused: the latest one, for
// five seconds of the program's clock (the search looks again each second).
TEST(NoPermission, TheLatestRefusalIsNamedForFiveSeconds)
{
    ManualClock clock;
    SetClock(&clock);
    LibusbBus bus;
    testing::internal::CaptureStderr();
    ReportNoPermission("/dev/bus/usb/003/009");
    clock.Advance(1000);
    ReportNoPermission("/dev/ttyACM2");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(bus.DeniedDevice(), "/dev/ttyACM2");
    clock.Advance(5000);
    EXPECT_EQ(bus.DeniedDevice(), "/dev/ttyACM2");
    clock.Advance(1);
    EXPECT_EQ(bus.DeniedDevice(), "");
    SetClock(nullptr);
    EXPECT_NE(UdevRulesFile().find("/70-orvello.rules"), std::string::npos);
}

}  // namespace
}  // namespace orv
