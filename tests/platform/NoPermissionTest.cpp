// A phone device that the user may not open is reported once per kind of
// device, naming the device and the missing udev rules, on standard error
// and in the phone trace, however often the device search retries.

#include "LibusbBus.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace orv {
namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(NoPermission, NamedOnceForEachKindOfDeviceOnStandardErrorAndInTheTrace)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string port = dir.filePath(QStringLiteral("ttyACM0")).toStdString();
    const std::string trace = dir.filePath(QStringLiteral("phone.trace")).toStdString();
    const int fd = ::open(port.c_str(), O_CREAT | O_WRONLY, 0);
    ASSERT_GE(fd, 0);
    ::close(fd);
    // The trace stays writable for nobody.
    ASSERT_EQ(::chmod(dir.path().toUtf8().constData(), 0755), 0);
    const int traceFd = ::open(trace.c_str(), O_CREAT | O_WRONLY, 0666);
    ASSERT_GE(traceFd, 0);
    ::fchmod(traceFd, 0666);
    ::close(traceFd);
    ::setenv("ORVELLO_PHONE_TRACE", trace.c_str(), 1);

    testing::internal::CaptureStderr();
    // Mode 000 keeps a user out; root is kept out too while this thread works
    // with the file rights of nobody.
    const int previous = ::setfsuid(65534);
    LibusbBus bus;
    const char command[] = "at+mode=8\r\n";
    for (int search = 0; search < 3; ++search)
        EXPECT_EQ(bus.WriteModemPort(port, command, sizeof command - 1), -1);
    ::setfsuid(static_cast<uid_t>(previous));
    for (int search = 0; search < 3; ++search)
        ReportNoPermission("/dev/bus/usb/001/007");
    ReportNoPermission("/dev/ttyACM1");  // another port: the same problem, said already
    const std::vector<std::string> said = Lines(testing::internal::GetCapturedStderr());
    ::unsetenv("ORVELLO_PHONE_TRACE");

    const std::string rules = "the udev rules for the phone are missing (";
    ASSERT_EQ(said.size(), 2u);
    EXPECT_EQ(said[0].rfind("orvello: no permission to open the phone's device " + port + ": " + rules, 0), 0u)
        << said[0];
    EXPECT_EQ(said[1].rfind("orvello: no permission to open the phone's device /dev/bus/usb/001/007: " + rules, 0),
              0u)
        << said[1];
    EXPECT_NE(said[0].find("/70-orvello.rules)"), std::string::npos) << said[0];

    const std::vector<std::string> traced = Lines(ReadFile(trace));
    ASSERT_EQ(traced.size(), 2u);
    EXPECT_EQ("orvello: " + traced[0].substr(2), said[0]);
    EXPECT_EQ(traced[0].rfind("# ", 0), 0u);
    EXPECT_EQ("orvello: " + traced[1].substr(2), said[1]);
}

}  // namespace
}  // namespace orv
