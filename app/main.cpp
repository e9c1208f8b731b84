// The entry point: one copy at a time, the splash, the main window, switch D,
// the message loop, and a guard that shows any escaping exception.

#include "video/Recorder.h"
#include "cli/CommandLine.h"
#include "shell/Dialogs.h"
#include "cli/Headless.h"
#include "cli/SetPassword.h"
#include "platform/InstanceLock.h"
#include "platform/LibusbBus.h"
#include "shell/MainWindow.h"
#include "shell/SecondCopy.h"
#include "sim/SimBus.h"
#include "sim/SimEvents.h"
#include "platform/Clock.h"
#include "platform/SettingsStore.h"
#include "shell/SplashScreen.h"
#include "shell/Startup.h"
#include "texts/LangTexts.h"
#include "platform/UiThread.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Options {
    bool simulatePhone = false;
    bool exitWhenIdle = false;  // quit at the first turn of the event loop (start-up benchmark)
    QStringList switches;       // everything else, for the D, M and S switches
};

Options ParseOptions(const QStringList& arguments)
{
    Options options;
    for (const QString& argument : arguments.mid(1)) {
        if (argument == QLatin1String("--simulate-phone"))
            options.simulatePhone = true;
        else if (argument == QLatin1String("--exit-when-idle"))
            options.exitWhenIdle = true;
        else
            options.switches << argument;
    }
    return options;
}

// The simulated phone's script of events from the environment; false (after
// one line on standard error) when it cannot be read.
bool ReadSimEvents(std::vector<orv::sim::SimEvent>* events)
{
    const char* script = std::getenv(orv::sim::kEventsVariable);
    if (script == nullptr)
        return true;
    std::string error;
    if (orv::sim::ParseSimEvents(script, events, &error))
        return true;
    std::fprintf(stderr, "orvello: %s: %s\n", orv::sim::kEventsVariable, error.c_str());
    return false;
}

// A settings file that cannot be used leaves every setting at its default
// for the whole run: one line says so at the start, on standard error (the
// journal, under a service manager).
void ReportUnusableSettings()
{
    if (const std::optional<std::string> problem = orv::reg::SettingsFileProblem())
        std::fprintf(stderr, "orvello: the settings file cannot be used, every setting has its default: %s\n",
                     problem->c_str());
}

// Switch D: the settings go back to their defaults, or one line says why
// they could not.
void ResetSettings()
{
    (void)orv::reg::TakeWriteFailure();  // an earlier write's reason is not this one's
    if (orv::reg::DeleteSettingsKey())
        return;
    std::fprintf(stderr, "orvello: -d: the settings could not be reset: %s: %s\n",
                 orv::reg::SettingsFilePath().c_str(), orv::reg::TakeWriteFailure().c_str());
}

}  // namespace

int main(int argc, char* argv[])
{
    // --help, --version and wrong long options: answered before anything
    // starts, so they need no display and take no lock.
    const orv::LongOptions longOptions = orv::ParseLongOptions(orv::ArgumentsOf(argc, argv));
    if (const std::optional<int> code = orv::AnswerLongOptions(longOptions))
        return *code;
    // --set-password needs neither a display nor a phone.
    if (longOptions.action == orv::LongOptions::Action::SetPassword)
        return orv::RunSetPassword(longOptions);
    // The simulated phone's events count from here; a script that cannot be
    // read ends the program before anything starts.
    const uint32_t startTick = orv::TheClock().TickCount();
    std::vector<orv::sim::SimEvent> simEvents;
    if (longOptions.simulatePhone && !ReadSimEvents(&simEvents))
        return 2;
    ReportUnusableSettings();
    const auto makeBus = [&](bool simulate) {
        return simulate ? orv::sim::MakeSimBus(simEvents, startTick) : orv::MakeUsbBus();
    };
    using Action = orv::LongOptions::Action;
    if (longOptions.action == Action::Photo || longOptions.action == Action::Record ||
        longOptions.action == Action::Serve) {
        return orv::RunHeadless(longOptions, argc, argv, [&longOptions, &makeBus] {
            // Never freed: the device monitor may still use it while the process ends.
            orv::SetBus(makeBus(longOptions.simulatePhone).release());
        });
    }
    orv::Application app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvello"));
    QGuiApplication::setDesktopFileName(QStringLiteral(ORV_APP_ID));
    orv::InstallUiThread();
    const Options options = ParseOptions(QApplication::arguments());
    orv::SetProgramArguments(options.switches);

    // SIGTERM (a logout, a shutdown) and SIGINT (Ctrl+C) end the program as
    // Exit does, after a recording has been stopped and its file completed.
    // A second one ends the event loop at once. Before there is a window, a
    // modal message (that another copy runs) is closed.
    std::unique_ptr<orv::MainWindow> form;
    int endRequests = 0;
    const orv::TerminationSignals termination([&](int) {
        ++endRequests;
        if (!form) {
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                dialog->done(QDialog::Rejected);
        }
        if (endRequests > 1)
            QCoreApplication::quit();
        else if (form)
            form->EndRequested();
    });

    if (orv::IsAlreadyRunning()) {
        // The running copy's window comes to the front, from the tray or
        // the taskbar; the message says why no second window opens.
        orv::AskToComeToFront(orv::FrontSocketPath(), std::chrono::seconds(2));
        // In the language in use, Qt's OK button too. The settings are read
        // only where a file holds them: this copy never creates one.
        const int language = QFile::exists(QString::fromStdString(orv::reg::SettingsFilePath()))
                                 ? orv::Settings().GetLangIndex()
                                 : 0;
        orv::InstallQtTranslation(language);
        orv::TheDialogs().ShowMessage(nullptr, QStringLiteral("Orvello"),
                                      orv::LangTextAt(language, orv::txt::kAlreadyRunning),
                                      orv::MessageKind::Information);
        return 0;
    }

    orv::RunGuarded([&] {
        // The bus is never freed: the device monitor may still use it while
        // the process ends.
        orv::SetBus(makeBus(options.simulatePhone).release());
        std::unique_ptr<orv::SplashScreen> splash;
        if (orv::reg::ReadShowSplash()) {
            splash = std::make_unique<orv::SplashScreen>();
            splash->ShowAndPaint();
        }
        if (splash)
            splash->Repaint();

        form = std::make_unique<orv::MainWindow>();
        app.SetMainForm(form.get());
        // A second copy brings this window to the front.
        auto* frontListener = new orv::FrontListener(
            [&form] {
                form->BringToFront();
                return form->isVisible() && !form->isMinimized();
            },
            form.get());
        frontListener->Listen(orv::FrontSocketPath());
        if (orv::FindCmdLineSwitch(QLatin1Char('D')))
            ResetSettings();
        if (splash) {
            splash->Repaint();
            splash.reset();
        }
        form->show();  // minimised when switch M set the window's state
        if (endRequests > 0)  // asked to end while the window was being made
            QMetaObject::invokeMethod(form.get(), &orv::MainWindow::EndRequested, Qt::QueuedConnection);
        if (options.exitWhenIdle)
            QTimer::singleShot(0, &app, &QCoreApplication::quit);
        QApplication::exec();
    });
    orv::ShutdownUiThread();
    // A recording that has just ended completes its file on its own thread:
    // the process waits for that, unless a recorder still runs (the end was
    // forced), which would never finish now.
    if (form && !form->session->Running())
        orv::video::Recorder::WaitUntilNoneAlive(std::chrono::seconds(30));
    // Ends the process here while a worker is still alive; otherwise the
    // window, the application and the static objects go as usual.
    orv::EndUserInterface(0);
    form.reset();
    return 0;
}
