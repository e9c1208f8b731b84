#pragma once
// A main window on the simulated phone bus, with the manual clock, recorded
// dialogs and recorded URLs. The clock, the dialogs and the bus live for the
// whole test program: a device monitor that is still winding down after its
// test must never find them gone.

#include "platform/Clock.h"
#include "config/Switches.h"
#include "platform/ControlPipe.h"
#include "shell/Dialogs.h"
#include "shell/MainWindow.h"
#include "shell/StatusPanel.h"
#include "phone/PhoneLink.h"
#include "sim/SimBus.h"
#include "platform/WorkerThread.h"
#include "tests/support/TestEnv.h"
#include "shell/TrayIcon.h"

#include <QApplication>
#include <QDir>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace orv::test {

// Menu states of the window, as the state table lists them.
struct MenuState {
    bool phoneMenu, connect, disconnect, phoneCommands, startShown, stopShown;
};

inline void ExpectMenus(const MainWindow& form, const MenuState& state)
{
    EXPECT_EQ(form.phoneMenuAction->isEnabled(), state.phoneMenu);
    EXPECT_EQ(form.connectAction->isEnabled(), state.connect);
    EXPECT_EQ(form.disconnectAction->isEnabled(), state.disconnect);
    EXPECT_EQ(form.takePhotoAction->isEnabled(), state.phoneCommands);
    EXPECT_EQ(form.restartPhoneAction->isEnabled(), state.phoneCommands);
    EXPECT_EQ(form.suspendPhoneAction->isEnabled(), state.phoneCommands);
    EXPECT_EQ(form.startCameraAction->isVisible(), state.startShown);
    EXPECT_EQ(form.stopCameraAction->isVisible(), state.stopShown);
}

inline constexpr MenuState kNoPhone{false, true, false, true, true, false};
inline constexpr MenuState kPhoneIdle{true, false, true, true, true, false};
inline constexpr MenuState kTakingPhoto{false, false, true, true, true, false};
// Disconnect waits for STOP: the web camera keeps its phone.
inline constexpr MenuState kWebCamera{true, false, false, false, false, true};

inline ManualClock& SharedClock()
{
    static auto* clock = new ManualClock;
    return *clock;
}
inline RecordingDialogs& SharedDialogs()
{
    static auto* dialogs = new RecordingDialogs;
    return *dialogs;
}
inline sim::SimBus& SharedBus()
{
    static auto* bus = new sim::SimBus;
    return *bus;
}

// A web-camera thread stand-in: runs until it is asked to stop.
class IdleCamThread final : public WorkerThread {
protected:
    void Run() override
    {
        while (!Terminated())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

// The web camera has ended (and its file is complete), or never ran.
inline bool CameraIdle(const MainWindow& form) { return form.session->CurrentState() == webcam::State::Idle; }

// The web camera's latest frame, as the recorder would give it.
inline void ServeFrame(MainWindow& form, const QImage& frame) { form.session->View().RecorderFrame(frame, false, false); }

// The window whose web camera runs a stand-in recorder.
class CamForm final : public MainWindow {
public:
    using MainWindow::MayClose;
    int camThreadsMade = 0;
    // The file the stand-in recorder says it wrote, with one frame.
    QString fileToRecord;

    CamForm()
    {
        session->SetRecorderMaker([this](video::RecorderView&, std::function<void()> finished,
                                         const webcam::Session::Request&, std::shared_ptr<video::RecordingLog> log) {
            if (!fileToRecord.isEmpty()) {
                log->Started(fileToRecord);
                log->AddFrame();
            }
            auto* thread = new IdleCamThread;
            thread->SetFreeOnTerminate(true);
            thread->OnTerminate = [finished](WorkerThread*) { finished(); };
            thread->Start();
            ++camThreadsMade;
            return thread;
        });
    }
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FreshSettingsFile();
        SetClock(&SharedClock());
        SharedDialogs().Clear();
        SharedDialogs().onModal = nullptr;
        SetDialogs(&SharedDialogs());
        SetBus(&SharedBus());
        SetProgramArguments({});
        static int counter = 0;
        languageFolder_ = TempFolder() + QStringLiteral("/window-lng-%1").arg(++counter);
        QDir().mkpath(languageFolder_);
        qputenv("ORVELLO_LNG_DIR", languageFolder_.toUtf8());
        SetUrlOpener([this](const QUrl& url) {
            urls_.push_back(url);
            return openerWorks_;
        });
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void TearDown() override
    {
        if (form_) {
            // Nothing may keep running behind the test: stop the web camera
            // and the monitor and let them wind down.
            if (!CameraIdle(*form_)) {
                form_->StopWebCamera();
                EXPECT_TRUE(QTest::qWaitFor([&] { return CameraIdle(*form_); }, 5000));
            }
            form_->DisconnectPhone();
        }
        for (const auto& phone : phones_)
            phone->Unplug();
        EXPECT_TRUE(WaitForMonitorsToEnd());
        EXPECT_TRUE(WaitForWorkersToEnd()) << "a thread of the window still runs";
        form_.reset();
        SetUrlOpener({});
        SetProgramArguments({});
        TrayIcon::SetAvailabilityCheck({});
        qunsetenv("ORVELLO_LNG_DIR");
    }

    // A phone on the bus, in its normal mode unless options say otherwise.
    sim::SimPhone& AddPhone(sim::SimPhone::Options options = {})
    {
        phones_.push_back(SharedBus().AddPhone(std::move(options)));
        return *phones_.back();
    }

    template <typename Form = MainWindow>
    Form& MakeForm()
    {
        auto form = std::make_unique<Form>();
        Form& ref = *form;
        form_ = std::move(form);
        return ref;
    }

    MainWindow& Form() { return *form_; }

    bool WaitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 10000); }

    // Connected: the handler has run to its end (the phone menu comes last).
    bool WaitForConnected() { return WaitFor([&] { return form_->phoneMenuAction->isEnabled(); }); }

    // A monitor holds the link's turn while it runs.
    static bool WaitForMonitorsToEnd()
    {
        std::mutex& turn = phone::PhoneLink::Instance().MonitorTurn();
        const bool ended = QTest::qWaitFor(
            [&] {
                if (!turn.try_lock())
                    return false;
                turn.unlock();
                return true;
            },
            10000);
        // Let the last state reports of the ended monitor arrive.
        QTest::qWait(5);
        QCoreApplication::processEvents();
        return ended;
    }

    std::unique_ptr<MainWindow> form_;
    std::vector<std::shared_ptr<sim::SimPhone>> phones_;
    std::vector<QUrl> urls_;
    bool openerWorks_ = true;  // false: as on a machine with no browser
    QString languageFolder_;
};

}  // namespace orv::test
