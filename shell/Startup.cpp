#include "Startup.h"

#include "Dialogs.h"
#include "platform/WorkerThread.h"
#include "platform/UiThread.h"

#include <QSocketNotifier>
#include <QString>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <iterator>

#include <sys/socket.h>
#include <unistd.h>

namespace orv {

namespace {
void ShowException(const QString& text)
{
    const auto* application = dynamic_cast<Application*>(QCoreApplication::instance());
    QWidget* parent = application ? application->MainForm() : nullptr;
    TheDialogs().ShowMessage(parent, QStringLiteral("Orvello"), text, MessageKind::Error);
}

constexpr int kCaught[2] = {SIGTERM, SIGINT};

// The writing end of the socket pair, for the signal handler.
std::atomic<int> gSignalWriteFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void WriteSignalNumber(int number)
{
    const int savedErrno = errno;
    const int fd = gSignalWriteFd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(number);
        // A full socket already holds signals enough to act on.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}
}  // namespace

bool Application::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ShowException(QString::fromUtf8(error.what()));
    } catch (...) {
        ShowException(QString());
    }
    return false;
}

int RunGuarded(const std::function<void()>& body)
{
    try {
        body();
    } catch (const std::exception& error) {
        ShowException(QString::fromUtf8(error.what()));
    } catch (...) {
        ShowException(QString());
    }
    return 0;
}

void EndUserInterface(int code)
{
    ShutdownUiThread();
    if (WorkerThread::LiveCount() == 0)
        return;
    std::fflush(nullptr);
    ::_exit(code);
}

TerminationSignals::TerminationSignals(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal))
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds_) != 0) {
        fds_[0] = fds_[1] = -1;
        return;
    }
    gSignalWriteFd.store(fds_[0]);
    notifier_ = new QSocketNotifier(fds_[1], QSocketNotifier::Read);
    QObject::connect(notifier_, &QSocketNotifier::activated, notifier_, [this] { Deliver(); });

    struct sigaction action = {};
    action.sa_handler = WriteSignalNumber;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kCaught); ++i)
        ::sigaction(kCaught[i], &action, &previous_[i]);
}

TerminationSignals::~TerminationSignals()
{
    if (!notifier_)
        return;
    for (size_t i = 0; i < std::size(kCaught); ++i)
        ::sigaction(kCaught[i], &previous_[i], nullptr);
    gSignalWriteFd.store(-1);
    delete notifier_;
    ::close(fds_[0]);
    ::close(fds_[1]);
}

void TerminationSignals::Deliver()
{
    unsigned char numbers[16];
    for (;;) {
        const ssize_t count = ::read(fds_[1], numbers, sizeof numbers);
        if (count <= 0)
            break;
        for (ssize_t i = 0; i < count; ++i) {
            if (onSignal_)
                onSignal_(numbers[i]);
        }
    }
}

}  // namespace orv
