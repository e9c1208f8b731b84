#pragma once
// Pieces of the program's start that tests reach without starting a process.

#include <QApplication>
#include <QPointer>
#include <QWidget>

#include <csignal>
#include <functional>

class QSocketNotifier;

namespace orv {

// Runs body inside the entry point's exception guard: an exception that
// escapes is shown in an error box (its message; an empty one for an
// exception that carries none) and the result is 0 either way.
int RunGuarded(const std::function<void()>& body);

// Called once the event loop has ended for good. From here on a worker that
// comes to the user-interface thread waits for ever (ShutdownUiThread).
// Returns when no worker thread is alive, so that the caller tears the window
// and the application down and returns as usual. While a worker is alive (a
// capture blocked on a phone that stopped answering, the device monitor in
// its wait, a thread just finishing) the process ends here at once with code,
// without running static destructors, which that worker could run into.
// Nothing the user could lose waits by then: settings are written when they
// change, and the window does not close while a recording runs.
void EndUserInterface(int code);

// The application object: an exception that escapes an event handler (a menu
// command, a worker's synchronised call) is shown in the standard error box
// and the program goes on.
class Application : public QApplication {
public:
    Application(int& argc, char** argv) : QApplication(argc, argv) {}
    bool notify(QObject* receiver, QEvent* event) override;

    // The window that owns the error box. Owned, the box is no window of its
    // own, so closing it while the main window is hidden in the tray does
    // not end the program.
    void SetMainForm(QWidget* form) { mainForm_ = form; }
    QWidget* MainForm() const { return mainForm_; }

private:
    QPointer<QWidget> mainForm_;
};

// Catches SIGTERM and SIGINT while it exists. The signal handler only
// writes the signal's number into a socket pair (the one thing that is safe
// there); the user-interface thread reads it and calls onSignal with the
// number, from its event loop. The previous handlers come back when it is
// destroyed.
class TerminationSignals {
public:
    explicit TerminationSignals(std::function<void(int signal)> onSignal);
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // False when the socket pair could not be made (the signals then keep
    // their default action).
    bool Installed() const { return notifier_ != nullptr; }

private:
    void Deliver();

    std::function<void(int)> onSignal_;
    int fds_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    struct sigaction previous_[2] = {};
};

}  // namespace orv
