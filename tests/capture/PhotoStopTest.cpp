// A photo stopped while the phone keeps it waiting (the window closing): the
// thread ends at once under each fault, without a message and without
// touching the window's picture.

#include "capture/CaptureView.h"
#include "capture/PhotoThread.h"
#include "config/Settings.h"
#include "phone/PhoneLink.h"
#include "platform/Clock.h"
#include "sim/SimBus.h"
#include "tests/support/StepClock.h"
#include "tests/support/TestEnv.h"
#include "tests/support/Wait.h"

#include <QCoreApplication>
#include <QImage>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace orv::test {
namespace {

using sim::SimPhone;

class PhotoView final : public CaptureView {
public:
    void ShowPhotoStep(PhotoStep) override {}
    void ShowPhotoFailure(PhotoFailure failure) override { failures.push_back(failure); }
    void ShowPicture(const QImage&) override { ++pictures; }
    void ShowDownloadProgress(long long bytes) override { downloaded = std::max(downloaded.load(), bytes); }

    std::vector<PhotoFailure> failures;
    int pictures = 0;
    std::atomic<long long> downloaded{0};
};

TEST(PhotoStop, StopEndsThePhotoAtOnceWhateverThePhoneDoes)
{
    const struct {
        const char* fault;
        std::function<void(SimPhone&)> make;
        // What shows that the fault holds the photo.
        std::function<bool(SimPhone&, const PhotoView&)> held;
    } cases[] = {
        {"mute", [](SimPhone& p) { p.SetSilent(true); },
         [](SimPhone& p, const PhotoView&) { return p.Count().silentHolds == 1; }},
        {"no reply to camera-on", [](SimPhone& p) { p.InjectFault(SimPhone::Fault::NoReply); },
         [](SimPhone& p, const PhotoView&) { return p.Count().commands == 1; }},
        {"a picture without end", [](SimPhone& p) { p.InjectFault(SimPhone::Fault::LongPicture); },
         [](SimPhone&, const PhotoView& view) { return view.downloaded.load() > 200000; }},
    };
    FreshSettingsFile();
    StepClock clock{1796567415};
    SetClock(&clock);
    Settings settings;
    settings.SetCameraInitTime(0);
    settings.SetTimeout(0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        SimPhone::Options options;
        options.startInTestMode = true;
        sim::SimBus bus(options);
        phone::PhoneLink link;
        auto pipe = bus.Open("sim:usb-1-0");
        ASSERT_TRUE(pipe && pipe->ClaimInterface(8));
        link.Attach(std::move(pipe));
        c.make(bus.Phone(0));
        PhotoView view;
        std::atomic<bool> finished{false};
        // Kept until the end handler has run: the photo frees itself only
        // after that, on this thread.
        PhotoThread* photo = new PhotoThread(view, settings, link, [&] { finished = true; });
        ASSERT_TRUE(WaitFor([&] { return c.held(bus.Phone(0), view); }));
        ASSERT_FALSE(finished.load()) << "the fault did not hold the photo";
        const uint32_t stoppedAt = clock.TickCount();
        photo->Terminate();
        ASSERT_TRUE(WaitFor([&] { return finished.load(); })) << "the photo did not end";
        EXPECT_LT(clock.TickCount() - stoppedAt, 2000u);
        EXPECT_TRUE(view.failures.empty());
        EXPECT_EQ(view.pictures, 0);
        ASSERT_TRUE(WaitForWorkersToEnd());
        bus.Phone(0).SetSilent(false);
        link.Close();
    }
    SetClock(nullptr);
}

}  // namespace
}  // namespace orv::test
