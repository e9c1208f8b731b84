#pragma once
// A second copy of the program brings the running copy's window to the
// front: the copy that holds the single-instance lock listens on a local
// socket in the lock's folder; the second one sends "front", and the
// running copy answers "shown" once its window is shown (or "hidden").

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>

class QLocalServer;

namespace orv {

// The socket beside the lock; empty when there is no lock folder.
QString FrontSocketPath();

// The running copy's side.
class FrontListener final : public QObject {
    Q_OBJECT
public:
    // bringToFront runs for each request, on this thread, and says whether
    // the window is shown after it.
    explicit FrontListener(std::function<bool()> bringToFront, QObject* parent = nullptr);
    // Listens at path, for this user only, in place of a socket that a copy
    // which has ended left there. False when it cannot.
    bool Listen(const QString& path);

private:
    void Serve();

    std::function<bool()> bringToFront_;
    QLocalServer* server_;
};

// The second copy's side: asks, and waits at most timeout for the answer.
// True when the running copy says that its window is shown.
bool AskToComeToFront(const QString& path, std::chrono::milliseconds timeout);

}  // namespace orv
