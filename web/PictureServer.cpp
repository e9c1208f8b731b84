#include "PictureServer.h"

#include "HttpRequest.h"
#include "capture/Jpeg.h"
#include "Responses.h"

#include <QMetaObject>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orv::web {
namespace {

QString SocketError(const QString& text, int number, const char* call)
{
    return QStringLiteral("Windows socket error: %1 (%2), on API '%3'")
        .arg(text)
        .arg(number)
        .arg(QLatin1String(call));
}

}  // namespace

// Where an encoding worker delivers its picture. The server clears receiver
// under the lock when it goes, so a worker never posts to a server that is
// gone; a delivery already posted is dropped with the server's events.
struct TPictureServer::Mailbox {
    std::mutex lock;
    TPictureServer* receiver = nullptr;
};

TPictureServer::TPictureServer(QObject* parent) : QTcpServer(parent), mailbox_(std::make_shared<Mailbox>())
{
    mailbox_->receiver = this;
    setListenBacklogSize(kBacklog);
    connect(this, &QTcpServer::newConnection, this, &TPictureServer::AcceptClients);
}

TPictureServer::~TPictureServer()
{
    std::lock_guard lock(mailbox_->lock);
    mailbox_->receiver = nullptr;
}

bool TPictureServer::Open(int port, QString* error)
{
    Close();
    if (port < 1 || port > 65535) {
        *error = SocketError(QStringLiteral("port %1 is outside 1..65535").arg(port), EINVAL, "bind");
        return false;
    }
    // The socket is made here rather than by QTcpServer::listen so that a
    // failure tells the system's error number and the call that failed.
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        const int number = errno;
        *error = SocketError(qt_error_string(number), number, "socket");
        return false;
    }
    // A restart finds the port free even while connections of the last run
    // are still in TIME_WAIT; a socket that listens on it still makes bind fail.
    const int reuse = 1;
    ::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const char* call = "bind";
    bool ok = ::bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (ok) {
        call = "listen";
        ok = ::listen(descriptor, kBacklog) == 0;
    }
    if (!ok) {
        const int number = errno;
        ::close(descriptor);
        *error = SocketError(qt_error_string(number), number, call);
        return false;
    }
    if (!setSocketDescriptor(descriptor)) {
        ::close(descriptor);
        *error = SocketError(errorString(), static_cast<int>(serverError()), "listen");
        return false;
    }
    return true;
}

void TPictureServer::Close()
{
    close();
    const QList<QTcpSocket*> open = clients_.keys();
    for (QTcpSocket* client : open) {
        const auto found = clients_.constFind(client);
        if (found == clients_.constEnd())
            continue;  // an error closed it meanwhile
        if (found->phase == Phase::Streaming)
            EndStream(client);
        else if (!found->ending)
            CloseClient(client);
    }
    framesToEncode_.clear();
    awaiting_.clear();
    streamKey_.reset();
}

void TPictureServer::AcceptClients()
{
    while (QTcpSocket* client = nextPendingConnection()) {
        if (clients_.size() >= maxClients_) {
            client->abort();
            client->deleteLater();
            continue;
        }
        auto* idle = new QTimer(client);
        idle->setSingleShot(true);
        idle->setInterval(idleLimit_);
        connect(idle, &QTimer::timeout, this, [this, client] { CloseClient(client); });
        connect(client, &QIODevice::readyRead, this, [this, client] { emit ClientRead(client); });
        connect(client, &QAbstractSocket::errorOccurred, this,
                [this, client](QAbstractSocket::SocketError socketError) { emit ClientError(client, socketError); });
        connect(client, &QIODevice::bytesWritten, this, [this, client] { TakeProgress(client); });
        Client state;
        state.idle = idle;
        clients_.insert(client, state);
        idle->start();
    }
}

void TPictureServer::AnswerRequest(QTcpSocket* client, const QImage& frame)
{
    const auto found = clients_.constFind(client);
    if (found == clients_.constEnd())
        return;
    const QByteArray text = client->readAll();
    if (found->phase != Phase::Waiting)
        return;  // one request per connection: anything later is dropped unread
    const Resource resource =
        MatchRequest(std::string_view(text.constData(), static_cast<size_t>(text.size())), streamEnabled_);
    for (const std::string_view piece : AnswerPieces(resource))
        client->write(piece.data(), static_cast<qint64>(piece.size()));
    if (resource == Resource::Stream) {
        StartStream(client, frame);
        return;
    }
    if (resource != Resource::Picture || frame.isNull()) {
        Finish(client);
        return;
    }
    if (encodedKey_ == frame.cacheKey())
        SendPicture(client, encodedPicture_);
    else
        AwaitPicture(client, frame);
}

void TPictureServer::SendPicture(QTcpSocket* client, const QByteArray& picture)
{
    if (!clients_.contains(client))
        return;
    if (!picture.isEmpty())
        client->write(picture);
    Finish(client);
}

// The answer is written: once the client has taken all of it, our side of
// the connection is shut.
void TPictureServer::Finish(QTcpSocket* client)
{
    auto found = clients_.find(client);
    if (found == clients_.end())
        return;
    found->phase = Phase::Sending;
    found->idle->start();
    // Hands what the system takes now to it at once: a client that closes
    // its sending side after the request still gets the whole of a small
    // answer. Flushing may report progress or an error, which can close
    // the client.
    client->flush();
    found = clients_.find(client);
    if (found != clients_.end() && found->phase == Phase::Sending && client->bytesToWrite() == 0)
        ShutOurSide(client);
}

void TPictureServer::TakeProgress(QTcpSocket* client)
{
    const auto found = clients_.find(client);
    if (found == clients_.end() || found->phase == Phase::Encoding)
        return;
    if (found->phase == Phase::Streaming) {
        StreamProgress(client, *found);
        return;
    }
    found->idle->start();
    if (found->phase == Phase::Sending && client->bytesToWrite() == 0)
        ShutOurSide(client);
}

// Sends the end of the answer after its last byte, then waits for the client
// to close. Closing the socket at once instead would reset the connection
// when more bytes of the client arrive, and a reset makes the client's system
// drop answer bytes it has not read yet.
void TPictureServer::ShutOurSide(QTcpSocket* client)
{
    const auto found = clients_.find(client);
    if (found == clients_.end())
        return;
    if (client->socketDescriptor() < 0 || ::shutdown(static_cast<int>(client->socketDescriptor()), SHUT_WR) != 0) {
        CloseClient(client);
        return;
    }
    found->phase = Phase::Lingering;
    found->idle->start();
    TakeWaitingConnections();
}

void TPictureServer::CloseClient(QTcpSocket* client)
{
    if (clients_.remove(client) == 0)
        return;
    client->disconnect(this);
    client->abort();
    client->deleteLater();
    TakeWaitingConnections();
}

// Clients connect again soon after their answer, often several in one turn
// of the event loop. The listening queue holds only kBacklog connections, and
// a client that finds it full loses a second to the retransmission of its
// connection request; so connections that wait are taken whenever a client
// is done, not only when the event loop comes round to the listening socket.
void TPictureServer::TakeWaitingConnections()
{
    if (isListening())
        waitForNewConnection(0);
}

void TPictureServer::AwaitPicture(QTcpSocket* client, const QImage& frame)
{
    const qint64 key = frame.cacheKey();
    // Waiting for the encoder is no idleness of the client's.
    Client& state = clients_[client];
    state.phase = Phase::Encoding;
    state.idle->stop();
    awaiting_.emplace_back(key, QPointer<QTcpSocket>(client));
    RequestEncoding(frame);
}

void TPictureServer::RequestEncoding(const QImage& frame)
{
    const qint64 key = frame.cacheKey();
    const bool queued = encodingKey_ == key ||
                        std::any_of(framesToEncode_.begin(), framesToEncode_.end(),
                                    [key](const QImage& queuedFrame) { return queuedFrame.cacheKey() == key; });
    if (!queued)
        framesToEncode_.push_back(frame);
    StartNextEncoding();
}

bool TPictureServer::Wanted(qint64 key) const
{
    if (streamKey_ == key && HasStreams())
        return true;
    return std::any_of(awaiting_.begin(), awaiting_.end(),
                       [key](const auto& entry) { return entry.first == key && entry.second; });
}

// The encoder runs on a worker thread, so that a large frame does not hold
// up the window; the worker has its own reference to the frame's pixels,
// which the window's next frame does not touch.
void TPictureServer::StartNextEncoding()
{
    while (!encodingKey_ && !framesToEncode_.empty()) {
        const QImage frame = framesToEncode_.front();
        framesToEncode_.pop_front();
        const qint64 key = frame.cacheKey();
        if (!Wanted(key))
            continue;
        encodingKey_ = key;
        encodingForStreams_ = streamKey_ == key;
        ++encodingCount_;
        try {
            std::thread([mailbox = mailbox_, frame, key] {
                const QByteArray picture = EncodeJpeg(frame);
                std::lock_guard lock(mailbox->lock);
                if (TPictureServer* server = mailbox->receiver)
                    QMetaObject::invokeMethod(
                        server, [server, key, picture] { server->PictureEncoded(key, picture); },
                        Qt::QueuedConnection);
            }).detach();
        } catch (const std::system_error&) {
            // No thread to be had: encode here rather than leave clients waiting.
            PictureEncoded(key, EncodeJpeg(frame));
        }
    }
}

void TPictureServer::PictureEncoded(qint64 key, const QByteArray& picture)
{
    encodingKey_.reset();
    encodedKey_ = key;
    encodedPicture_ = picture;
    std::vector<QTcpSocket*> ready;
    for (auto entry = awaiting_.begin(); entry != awaiting_.end();) {
        if (entry->first != key) {
            ++entry;
            continue;
        }
        if (QTcpSocket* client = entry->second; client && clients_.value(client).phase == Phase::Encoding)
            ready.push_back(client);
        entry = awaiting_.erase(entry);
    }
    for (QTcpSocket* client : ready)
        SendPicture(client, picture);
    // A frame begun for the streams goes to them even when a newer one has
    // come meanwhile: with a camera faster than the encoder, waiting for the
    // newest alone would starve them. Encodings end in the order of the
    // frames, so the parts keep that order.
    if (std::exchange(encodingForStreams_, false) || streamKey_ == key)
        DeliverToStreams(key, picture);
    StartNextEncoding();
}

void TPictureServer::SetStreamStallLimit(std::chrono::milliseconds limit)
{
    streamStallLimit_ = limit;
    for (Client& state : clients_) {
        if (state.phase == Phase::Streaming)
            state.idle->setInterval(limit);
    }
}

bool TPictureServer::HasStreams() const
{
    return std::any_of(clients_.cbegin(), clients_.cend(),
                       [](const Client& client) { return client.phase == Phase::Streaming; });
}

void TPictureServer::StartStream(QTcpSocket* client, const QImage& frame)
{
    Client& state = clients_[client];
    state.phase = Phase::Streaming;
    state.idle->setInterval(streamStallLimit_);
    state.idle->start();  // until the system has taken the header
    if (frame.isNull())
        return;  // the first part comes with the first frame
    // The frame of the moment comes at once.
    const qint64 key = frame.cacheKey();
    streamKey_ = key;
    if (encodedKey_ == key)
        OfferPart(client, key, encodedPicture_);
    else
        RequestEncoding(frame);
}

void TPictureServer::FrameChanged(const QImage& frame)
{
    if (frame.isNull() || !HasStreams())
        return;
    const qint64 key = frame.cacheKey();
    streamKey_ = key;
    // Frames queued for the streams alone are of no use behind a newer one:
    // a camera faster than the encoder never piles frames up here.
    std::erase_if(framesToEncode_, [this](const QImage& queued) { return !Wanted(queued.cacheKey()); });
    if (encodedKey_ == key)
        DeliverToStreams(key, encodedPicture_);
    else
        RequestEncoding(frame);
}

void TPictureServer::DeliverToStreams(qint64 key, const QByteArray& picture)
{
    if (picture.isEmpty())
        return;
    const QList<QTcpSocket*> open = clients_.keys();
    for (QTcpSocket* client : open)
        OfferPart(client, key, picture);
}

void TPictureServer::OfferPart(QTcpSocket* client, qint64 key, const QByteArray& picture)
{
    const auto found = clients_.find(client);
    if (found == clients_.end() || found->phase != Phase::Streaming || picture.isEmpty() ||
        found->sentKey == key || found->waitingKey == key)
        return;
    if (!found->waitingKey && client->bytesToWrite() == 0) {
        WritePart(client, *found, key, picture);
        return;
    }
    // The viewer has not taken the last part yet: the frame waits behind it,
    // in place of an older one that waited.
    if (found->waitingKey)
        ++framesReplaced_;
    found->waitingKey = key;
    found->waiting = picture;
    NoteHeld(client, *found);
}

void TPictureServer::WritePart(QTcpSocket* client, Client& state, qint64 key, const QByteArray& picture)
{
    const std::string header = StreamPartHeader(static_cast<size_t>(picture.size()));
    client->write(header.data(), static_cast<qint64>(header.size()));
    client->write(picture);
    client->write(kStreamPartEnd.data(), static_cast<qint64>(kStreamPartEnd.size()));
    state.sentKey = key;
    ++partsWritten_;
    state.idle->start();
    NoteHeld(client, state);
}

// The system took bytes of a stream: the stall limit starts again while
// bytes remain, and once the part is all taken the waiting frame follows.
void TPictureServer::StreamProgress(QTcpSocket* client, Client& state)
{
    if (client->bytesToWrite() > 0) {
        state.idle->start();
        return;
    }
    if (!state.waitingKey) {
        state.idle->stop();  // waiting for the camera's next frame is no stall
        return;
    }
    const qint64 key = *state.waitingKey;
    const QByteArray picture = std::exchange(state.waiting, QByteArray());
    state.waitingKey.reset();
    WritePart(client, state, key, picture);
}

// The closing boundary follows the part being sent; a frame still waiting is
// dropped. The connection then ends as any answer does.
void TPictureServer::EndStream(QTcpSocket* client)
{
    const auto found = clients_.find(client);
    if (found == clients_.end())
        return;
    found->waiting.clear();
    found->waitingKey.reset();
    found->ending = true;
    client->write(kStreamEnd.data(), static_cast<qint64>(kStreamEnd.size()));
    Finish(client);
}

void TPictureServer::NoteHeld(QTcpSocket* client, const Client& state)
{
    peakHeldBytes_ = std::max(peakHeldBytes_, client->bytesToWrite() + state.waiting.size());
}

TPictureServer::StreamFigures TPictureServer::StreamStatus() const
{
    StreamFigures figures;
    for (auto entry = clients_.cbegin(); entry != clients_.cend(); ++entry) {
        if (entry->phase != Phase::Streaming)
            continue;
        ++figures.streams;
        figures.heldBytes += entry.key()->bytesToWrite() + entry->waiting.size();
    }
    figures.peakHeldBytes = peakHeldBytes_;
    figures.partsWritten = partsWritten_;
    figures.framesReplaced = framesReplaced_;
    return figures;
}

}  // namespace orv::web
