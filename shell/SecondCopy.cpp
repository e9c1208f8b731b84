#include "SecondCopy.h"

#include "platform/InstanceLock.h"

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

namespace orv {
namespace {

constexpr char kRequest[] = "front\n";
constexpr char kShown[] = "shown\n";
constexpr char kHidden[] = "hidden\n";
// Nothing longer is read from a caller.
constexpr qint64 kLongestLine = 64;
// How long a caller may take over its request.
constexpr int kRequestWaitMs = 2000;

}  // namespace

QString FrontSocketPath()
{
    const std::string folder = InstanceLockFolder();
    return folder.empty() ? QString() : QString::fromStdString(folder) + QStringLiteral("/OrvelloIsAlreadyRunning.socket");
}

FrontListener::FrontListener(std::function<bool()> bringToFront, QObject* parent)
    : QObject(parent), bringToFront_(std::move(bringToFront)), server_(new QLocalServer(this))
{
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &FrontListener::Serve);
}

bool FrontListener::Listen(const QString& path)
{
    if (path.isEmpty())
        return false;
    // Only the holder of the lock listens here: a socket at the name is one
    // that an earlier copy left behind.
    QLocalServer::removeServer(path);
    return server_->listen(path);
}

void FrontListener::Serve()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // A caller that says nothing in time, or too much, is let go.
        QTimer::singleShot(kRequestWaitMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kLongestLine) {
                    socket->abort();
                    socket->deleteLater();
                }
                return;
            }
            const QByteArray line = socket->readLine(kLongestLine);
            if (line == kRequest)
                socket->write(bringToFront_() ? kShown : kHidden);
            socket->disconnectFromServer();
        });
    }
}

bool AskToComeToFront(const QString& path, std::chrono::milliseconds timeout)
{
    if (path.isEmpty())
        return false;
    QLocalSocket socket;
    QDeadlineTimer deadline(timeout);
    socket.connectToServer(path);
    if (!socket.waitForConnected(static_cast<int>(deadline.remainingTime())))
        return false;
    socket.write(kRequest);
    if (!socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime())))
        return false;
    while (!socket.canReadLine()) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            return false;
    }
    return socket.readLine(kLongestLine) == kShown;
}

}  // namespace orv
