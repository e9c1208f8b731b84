#include "PictureServer.h"

#include "Credentials.h"
#include "HttpRequest.h"
#include "capture/Jpeg.h"
#include "platform/Clock.h"
#include "platform/WorkerThread.h"
#include "Responses.h"
#include "texts/LangTexts.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace orv::web {

QString ListenErrorText(const QString& text, int number, const char* call)
{
    QString message =
        QStringLiteral("Socket error: %1 (%2), on API '%3'").arg(text).arg(number).arg(QLatin1String(call));
    // Ports below 1024 are the system's: an ordinary user cannot listen there.
    if (number == EACCES)
        message += LangText(txt::kPrivilegedPort);
    return message;
}

namespace {

QByteArray Bytes(std::string_view text)
{
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

// Bytes that live as long as the program, sent without a copy.
QByteArray StaticBytes(std::string_view text)
{
    return QByteArray::fromRawData(text.data(), static_cast<qsizetype>(text.size()));
}

bool Elapsed(uint32_t since, uint32_t now, std::chrono::milliseconds limit)
{
    return static_cast<int64_t>(static_cast<uint32_t>(now - since)) >= limit.count();
}

}  // namespace

// Where an encoding worker delivers its picture. The server clears receiver
// under the lock when it goes, so a worker never posts to a server that is
// gone; a delivery already posted is dropped with the server's events.
struct PictureServer::Mailbox {
    std::mutex lock;
    PictureServer* receiver = nullptr;
};

namespace {

// Encodes one frame on a worker of the program, so that the exit waits for
// it like for every other worker, and hands the picture on.
class EncodingThread final : public WorkerThread {
public:
    EncodingThread(QImage frame, std::function<void(const QByteArray&)> deliver)
        : frame_(std::move(frame)), deliver_(std::move(deliver))
    {
        SetFreeOnTerminate(true);
    }

protected:
    void Run() override
    {
        const QByteArray picture = EncodeJpeg(frame_);
        frame_ = QImage();
        deliver_(picture);
    }

private:
    QImage frame_;
    std::function<void(const QByteArray&)> deliver_;
};

// Checks a request's credentials on a worker of the program.
class CheckingThread final : public WorkerThread {
public:
    CheckingThread(std::string request, QString user, QString hash, std::function<void(bool)> deliver)
        : request_(std::move(request)), user_(std::move(user)), hash_(std::move(hash)), deliver_(std::move(deliver))
    {
        SetFreeOnTerminate(true);
    }

protected:
    void Run() override { deliver_(CheckAuthorization(request_, user_, hash_) == Authorization::Good); }

private:
    std::string request_;
    QString user_;
    QString hash_;
    std::function<void(bool)> deliver_;
};

}  // namespace

PictureServer::PictureServer(QObject* parent)
    : QTcpServer(parent), limits_(new QTimer(this)), mailbox_(std::make_shared<Mailbox>())
{
    mailbox_->receiver = this;
    setListenBacklogSize(kBacklog);
    limits_->setInterval(std::chrono::milliseconds(100));
    connect(limits_, &QTimer::timeout, this, &PictureServer::CheckLimits);
}

PictureServer::~PictureServer()
{
    {
        std::lock_guard lock(mailbox_->lock);
        mailbox_->receiver = nullptr;
    }
    for (auto& [id, client] : clients_)
        ::close(client.fd);
}

void PictureServer::SetCredentials(const QString& user, const QString& passwordHash)
{
    if (user == user_ && passwordHash == passwordHash_)
        return;
    user_ = user;
    passwordHash_ = passwordHash;
    goodCredentials_.clear();
    // No password can match such a hash: the server would answer every
    // request with 401 and nothing else would tell why.
    if (!user_.isEmpty() && !UsableHash(passwordHash_))
        std::fprintf(stderr,
                     "orvello: the web server's password in the settings (\"ServerPasswordHash\") is not one this "
                     "program made: every request is refused; set the password again (orvello --set-password, or "
                     "the options)\n");
}

bool PictureServer::Open(int port, QString* error, bool localOnly)
{
    Close();
    if (port < 1 || port > 65535) {
        *error = ListenErrorText(QStringLiteral("port %1 is outside 1..65535").arg(port), EINVAL, "bind");
        return false;
    }
    // The socket is made here rather than by QTcpServer::listen so that a
    // failure tells the system's error number and the call that failed.
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        const int number = errno;
        *error = ListenErrorText(qt_error_string(number), number, "socket");
        return false;
    }
    // A restart finds the port free even while connections of the last run
    // are still in TIME_WAIT; a socket that listens on it still makes bind fail.
    const int reuse = 1;
    ::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(localOnly ? INADDR_LOOPBACK : INADDR_ANY);
    const char* call = "bind";
    bool ok = ::bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (ok) {
        call = "listen";
        ok = ::listen(descriptor, kBacklog) == 0;
    }
    if (!ok) {
        const int number = errno;
        ::close(descriptor);
        *error = ListenErrorText(qt_error_string(number), number, call);
        return false;
    }
    if (!setSocketDescriptor(descriptor)) {
        ::close(descriptor);
        *error = ListenErrorText(errorString(), static_cast<int>(serverError()), "listen");
        return false;
    }
    return true;
}

void PictureServer::Close()
{
    close();
    std::vector<ClientId> open;
    for (const auto& entry : clients_)
        open.push_back(entry.first);
    for (const ClientId id : open) {
        const Client* client = Find(id);
        if (!client)
            continue;  // closed meanwhile
        if (client->phase == Phase::Streaming)
            EndStream(id);
        else if (!client->ending)
            CloseClient(id);
    }
    framesToEncode_.clear();
    awaiting_.clear();
    streamKey_.reset();
}

PictureServer::Client* PictureServer::Find(ClientId id)
{
    const auto found = clients_.find(id);
    return found == clients_.end() ? nullptr : &found->second;
}

void PictureServer::incomingConnection(qintptr descriptor)
{
    const int fd = static_cast<int>(descriptor);
    const bool wasAccepting = std::exchange(accepting_, true);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    quint32 address = 0;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 && peer.sin_family == AF_INET)
        address = ntohl(peer.sin_addr.s_addr);
    const auto fromThere = [this, address] {
        return std::count_if(clients_.begin(), clients_.end(),
                             [address](const auto& entry) { return entry.second.address == address; });
    };
    // A client that has had its answer connects again at once, often before
    // the server has seen it close the last connection.
    if (fromThere() >= maxClientsPerAddress_ || static_cast<int>(clients_.size()) >= maxClients_)
        CloseEnded();
    if (fromThere() >= maxClientsPerAddress_ ||
        (static_cast<int>(clients_.size()) >= maxClients_ && !MakeRoomFor(address))) {
        ::close(fd);
        accepting_ = wasAccepting;
        return;
    }
    const ClientId id = nextId_++;
    Client client;
    client.fd = fd;
    client.address = address;
    client.accepted = client.progress = TheClock().TickCount();
    client.reader = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    client.writer = new QSocketNotifier(descriptor, QSocketNotifier::Write, this);
    client.writer->setEnabled(false);
    connect(client.reader, &QSocketNotifier::activated, this, [this, id] { Readable(id); });
    connect(client.writer, &QSocketNotifier::activated, this, [this, id] { Writable(id); });
    clients_.emplace(id, std::move(client));
    if (!limits_->isActive())
        limits_->start();
    accepting_ = wasAccepting;
}

// The bound is reached: the connection accepted first among those still
// without a whole request goes, so idle connections cannot shut clients out;
// failing that, the first whose answer is all with the system and that only
// waits for its client to close.
bool PictureServer::MakeRoomFor(quint32 /*address*/)
{
    for (const Phase phase : {Phase::Waiting, Phase::Lingering}) {
        for (const auto& [id, client] : clients_) {
            if (client.phase == phase) {
                CloseClient(id);
                return true;
            }
        }
    }
    return false;
}

// Closes the answered connections whose clients have closed, without waiting
// for the event loop to report it.
void PictureServer::CloseEnded()
{
    std::vector<ClientId> ended;
    char buffer[4096];
    for (const auto& [id, client] : clients_) {
        if (client.phase != Phase::Lingering)
            continue;
        ssize_t n;
        do
            n = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        while (n > 0);
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            ended.push_back(id);
    }
    for (const ClientId id : ended)
        CloseClient(id);
}

void PictureServer::Readable(ClientId id)
{
    Client* client = Find(id);
    if (!client)
        return;
    char buffer[16384];
    // A bounded share per event: a client that floods does not hold up the
    // others, the notifier comes back for the rest.
    for (int round = 0; round < 8; ++round) {
        const ssize_t n = ::recv(client->fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            if (client->phase == Phase::Waiting) {
                const auto room = static_cast<qsizetype>(kMaxRequestBytes) - client->request.size();
                client->request.append(buffer, std::min<qsizetype>(n, room));
            }
            continue;  // after the request, anything is dropped unread
        }
        if (n == 0) {
            client->peerClosed = true;
            client->reader->setEnabled(false);
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        Failed(id, QAbstractSocket::RemoteHostClosedError);
        return;
    }
    if (client->phase == Phase::Waiting) {
        const std::string_view received(client->request.constData(), static_cast<size_t>(client->request.size()));
        switch (CollectState(received)) {
        case Collected::Complete:
            client->phase = Phase::Ready;
            emit ClientRead(id);
            return;
        case Collected::TooLarge:
            client->request = QByteArray();
            Send(id, *client, {StaticBytes(kTooLargeAnswer)});
            Finish(id);
            return;
        case Collected::Partial:
            if (!client->peerClosed)
                return;
            // The client will send no more: what came is its request.
            if (received.find_first_not_of(" \r\n") == std::string_view::npos) {
                CloseClient(id);
            } else {
                client->phase = Phase::Ready;
                emit ClientRead(id);
            }
            return;
        }
    }
    // Half-closed while its answer is on its way: the answer goes on, and
    // the connection closes once it is sent.
    if (client->peerClosed && client->phase == Phase::Lingering)
        CloseClient(id);
}

void PictureServer::Writable(ClientId id)
{
    Client* client = Find(id);
    if (!client)
        return;
    Flush(id, *client);
    if (client->broken || !client->out.empty())
        return;
    if (client->phase == Phase::Sending)
        AnswerDone(id, *client);
    else if (client->phase == Phase::Streaming)
        StreamProgress(id, *client);
}

void PictureServer::Send(ClientId id, Client& client, std::initializer_list<QByteArray> pieces)
{
    if (client.broken)
        return;
    if (client.out.empty())
        client.progress = TheClock().TickCount();  // bytes begin to wait for the client
    for (const QByteArray& piece : pieces) {
        if (piece.isEmpty())
            continue;
        client.out.push_back(piece);
        client.outBytes += piece.size();
    }
    Flush(id, client);
}

// Hands the system as much as it takes now, in one call for several pieces.
void PictureServer::Flush(ClientId id, Client& client)
{
    while (!client.out.empty() && !client.broken) {
        constexpr size_t kMaxPieces = 8;
        iovec pieces[kMaxPieces];
        size_t count = 0;
        for (auto piece = client.out.begin(); piece != client.out.end() && count < kMaxPieces; ++piece, ++count) {
            const qsizetype skip = count == 0 ? client.outOffset : 0;
            pieces[count].iov_base = const_cast<char*>(piece->constData() + skip);
            pieces[count].iov_len = static_cast<size_t>(piece->size() - skip);
        }
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = count;
        ssize_t n = ::sendmsg(client.fd, &message, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            // The failure is handled from the event loop, so that no caller
            // finds its connection gone under it.
            client.broken = true;
            client.out.clear();
            client.outOffset = 0;
            client.outBytes = 0;
            client.reader->setEnabled(false);
            QTimer::singleShot(0, this, [this, id] { Failed(id, QAbstractSocket::RemoteHostClosedError); });
            break;
        }
        client.progress = TheClock().TickCount();
        client.outBytes -= n;
        while (n > 0) {
            const qsizetype left = client.out.front().size() - client.outOffset;
            if (n < left) {
                client.outOffset += n;
                break;
            }
            n -= left;
            client.out.pop_front();
            client.outOffset = 0;
        }
    }
    client.writer->setEnabled(!client.out.empty() && !client.broken);
}

void PictureServer::Failed(ClientId id, QAbstractSocket::SocketError error)
{
    if (!Find(id))
        return;
    emit ClientError(id, error);
    CloseClient(id);
}

// The answer is written: once the client has taken all of it, our side of
// the connection is shut.
void PictureServer::Finish(ClientId id)
{
    Client* client = Find(id);
    if (!client)
        return;
    client->phase = Phase::Sending;
    if (!client->broken && client->out.empty())
        AnswerDone(id, *client);
}

// Sends the end of the answer after its last byte, then waits for the client
// to close. Closing the socket at once instead would reset the connection
// when more bytes of the client arrive, and a reset makes the client's system
// drop answer bytes it has not read yet.
void PictureServer::AnswerDone(ClientId id, Client& client)
{
    if (client.peerClosed || ::shutdown(client.fd, SHUT_WR) != 0) {
        CloseClient(id);
        return;
    }
    client.phase = Phase::Lingering;
    client.progress = TheClock().TickCount();
    TakeWaitingConnections();
}

void PictureServer::CloseClient(ClientId id)
{
    const auto found = clients_.find(id);
    if (found == clients_.end())
        return;
    Client client = std::move(found->second);
    clients_.erase(found);
    client.reader->setEnabled(false);
    client.writer->setEnabled(false);
    client.reader->deleteLater();
    client.writer->deleteLater();
    ::close(client.fd);
    if (clients_.empty())
        limits_->stop();
    TakeWaitingConnections();
}

void PictureServer::CheckLimits()
{
    const uint32_t now = TheClock().TickCount();
    std::vector<ClientId> expired;
    for (const auto& [id, client] : clients_) {
        bool over = false;
        switch (client.phase) {
        case Phase::Waiting:
        case Phase::Ready:
            // Bytes that trickle in do not hold the connection open.
            over = Elapsed(client.accepted, now, idleLimit_);
            break;
        case Phase::Encoding:
            break;  // waiting for the encoder is no idleness of the client's
        case Phase::Sending:
        case Phase::Lingering:
            over = Elapsed(client.progress, now, idleLimit_);
            break;
        case Phase::Streaming:
            // Waiting for the camera's next frame is no stall.
            over = client.outBytes > 0 && Elapsed(client.progress, now, streamStallLimit_);
            break;
        }
        if (over)
            expired.push_back(id);
    }
    for (const ClientId id : expired)
        CloseClient(id);
    // Requests whose pause after a wrong attempt is over are read again.
    for (auto failed = failedAt_.begin(); failed != failedAt_.end();) {
        if (Elapsed(failed.value(), now, kFailedAttemptPause))
            failed = failedAt_.erase(failed);
        else
            ++failed;
    }
    std::vector<ClientId> released;
    for (auto& [id, client] : clients_) {
        if (client.held && !client.checking && !failedAt_.contains(client.address)) {
            client.held = false;
            released.push_back(id);
        }
    }
    for (const ClientId id : released) {
        if (Find(id))
            emit ClientRead(id);
    }
}

// Clients connect again soon after their answer, often several in one turn
// of the event loop. The listening queue holds only kBacklog connections, and
// a client that finds it full loses a second to the retransmission of its
// connection request; so connections that wait are taken whenever a client
// is done, not only when the event loop comes round to the listening socket.
void PictureServer::TakeWaitingConnections()
{
    if (accepting_ || !isListening())
        return;
    accepting_ = true;
    waitForNewConnection(0);
    accepting_ = false;
}

void PictureServer::AnswerRequest(ClientId id, const QImage& frame)
{
    Client* client = Find(id);
    if (!client || client->phase != Phase::Ready || client->held)
        return;
    const std::string_view text(client->request.constData(), static_cast<size_t>(client->request.size()));
    const Request request = ParseRequest(text, streamEnabled_);
    if (request.resource != Resource::None && !Authorized(id, *client, text))
        return;
    client->request = QByteArray();
    client->headOnly = request.headOnly;
    switch (request.resource) {
    case Resource::None:
        Finish(id);
        return;
    case Resource::Picture:
        if (frame.isNull()) {
            Send(id, *client, {StaticBytes(kUnavailableAnswer)});
            Finish(id);
        } else if (encodedKey_ == frame.cacheKey()) {
            SendPicture(id, encodedPicture_);
        } else {
            AwaitPicture(id, frame);
        }
        return;
    case Resource::Stream:
        if (!request.headOnly) {
            Send(id, *client, {StaticBytes(kStreamHeader)});
            StartStream(id, frame);
            return;
        }
        break;
    default:
        break;
    }
    const QByteArray header = Bytes(AnswerHeader(request.resource));
    Send(id, *client, {header, request.headOnly ? QByteArray() : StaticBytes(AnswerBody(request.resource))});
    Finish(id);
}

bool PictureServer::Authorized(ClientId id, Client& client, std::string_view request)
{
    if (user_.isEmpty())
        return true;
    const uint32_t now = TheClock().TickCount();
    if (const auto failed = failedAt_.constFind(client.address);
        failed != failedAt_.constEnd() && !Elapsed(*failed, now, kFailedAttemptPause)) {
        // Answered once the pause is over (CheckLimits); others go on meanwhile.
        client.held = true;
        return false;
    }
    const QByteArray credentials = BasicCredentials(request);
    if (credentials.isEmpty()) {
        client.request = QByteArray();
        Send(id, client, {StaticBytes(kUnauthorizedAnswer)});
        Finish(id);
        return false;
    }
    if (goodCredentials_.contains(credentials))
        return true;
    // Deriving the key takes tens of milliseconds: a worker does it, and the
    // request is read again with the result.
    client.held = client.checking = true;
    auto* worker = new CheckingThread(
        std::string(request), user_, passwordHash_,
        [mailbox = mailbox_, id, credentials](bool good) {
            std::lock_guard lock(mailbox->lock);
            if (PictureServer* server = mailbox->receiver)
                QMetaObject::invokeMethod(
                    server, [server, id, credentials, good] { server->CredentialsChecked(id, credentials, good); },
                    Qt::QueuedConnection);
        });
    try {
        worker->Start();
    } catch (const std::system_error&) {
        delete worker;
        client.held = client.checking = false;
        client.request = QByteArray();
        Send(id, client, {StaticBytes(kUnavailableAnswer)});
        Finish(id);
    }
    return false;
}

void PictureServer::CredentialsChecked(ClientId id, const QByteArray& credentials, bool good)
{
    Client* client = Find(id);
    if (!client)
        return;
    client->held = client->checking = false;
    if (good) {
        if (goodCredentials_.size() >= 16)
            goodCredentials_.clear();
        goodCredentials_.insert(credentials);
        emit ClientRead(id);
        return;
    }
    failedAt_.insert(client->address, TheClock().TickCount());
    client->request = QByteArray();
    Send(id, *client, {StaticBytes(kUnauthorizedAnswer)});
    Finish(id);
}

void PictureServer::SendPicture(ClientId id, const QByteArray& picture)
{
    Client* client = Find(id);
    if (!client)
        return;
    if (picture.isEmpty()) {
        Send(id, *client, {StaticBytes(kUnavailableAnswer)});
    } else {
        const QByteArray header = Bytes(AnswerHeader(Resource::Picture, static_cast<size_t>(picture.size())));
        Send(id, *client, {header, client->headOnly ? QByteArray() : picture});
    }
    Finish(id);
}

void PictureServer::AwaitPicture(ClientId id, const QImage& frame)
{
    Client* client = Find(id);
    if (!client)
        return;
    client->phase = Phase::Encoding;
    awaiting_.emplace_back(frame.cacheKey(), id);
    RequestEncoding(frame);
}

void PictureServer::RequestEncoding(const QImage& frame)
{
    const qint64 key = frame.cacheKey();
    const bool queued = encodingKey_ == key ||
                        std::any_of(framesToEncode_.begin(), framesToEncode_.end(),
                                    [key](const QImage& queuedFrame) { return queuedFrame.cacheKey() == key; });
    if (!queued)
        framesToEncode_.push_back(frame);
    StartNextEncoding();
}

bool PictureServer::Wanted(qint64 key) const
{
    if (streamKey_ == key && HasStreams())
        return true;
    return std::any_of(awaiting_.begin(), awaiting_.end(),
                       [this, key](const auto& entry) { return entry.first == key && clients_.count(entry.second); });
}

// The encoder runs on a worker thread, so that a large frame does not hold
// up the window; the worker has its own reference to the frame's pixels,
// which the window's next frame does not touch.
void PictureServer::StartNextEncoding()
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
        auto* worker = new EncodingThread(frame, [mailbox = mailbox_, key](const QByteArray& picture) {
            std::lock_guard lock(mailbox->lock);
            if (PictureServer* server = mailbox->receiver)
                QMetaObject::invokeMethod(
                    server, [server, key, picture] { server->PictureEncoded(key, picture); }, Qt::QueuedConnection);
        });
        try {
            worker->Start();
        } catch (const std::system_error&) {
            // No thread to be had: encode here rather than leave clients waiting.
            delete worker;
            PictureEncoded(key, EncodeJpeg(frame));
        }
    }
}

void PictureServer::PictureEncoded(qint64 key, const QByteArray& picture)
{
    encodingKey_.reset();
    encodedKey_ = key;
    encodedPicture_ = picture;
    std::vector<ClientId> ready;
    for (auto entry = awaiting_.begin(); entry != awaiting_.end();) {
        if (entry->first != key) {
            ++entry;
            continue;
        }
        if (const Client* client = Find(entry->second); client && client->phase == Phase::Encoding)
            ready.push_back(entry->second);
        entry = awaiting_.erase(entry);
    }
    for (const ClientId id : ready)
        SendPicture(id, picture);
    // A frame begun for the streams goes to them even when a newer one has
    // come meanwhile: with a camera faster than the encoder, waiting for the
    // newest alone would starve them. Encodings end in the order of the
    // frames, so the parts keep that order.
    if (std::exchange(encodingForStreams_, false) || streamKey_ == key)
        DeliverToStreams(key, picture);
    StartNextEncoding();
}

bool PictureServer::HasStreams() const
{
    return std::any_of(clients_.cbegin(), clients_.cend(),
                       [](const auto& entry) { return entry.second.phase == Phase::Streaming; });
}

void PictureServer::StartStream(ClientId id, const QImage& frame)
{
    Client* client = Find(id);
    if (!client)
        return;
    client->phase = Phase::Streaming;
    if (frame.isNull())
        return;  // the first part comes with the first frame
    // The frame of the moment comes at once.
    const qint64 key = frame.cacheKey();
    streamKey_ = key;
    if (encodedKey_ == key)
        OfferPart(id, key, encodedPicture_);
    else
        RequestEncoding(frame);
}

void PictureServer::FrameChanged(const QImage& frame)
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

void PictureServer::DeliverToStreams(qint64 key, const QByteArray& picture)
{
    if (picture.isEmpty())
        return;
    std::vector<ClientId> streams;
    for (const auto& [id, client] : clients_) {
        if (client.phase == Phase::Streaming)
            streams.push_back(id);
    }
    for (const ClientId id : streams)
        OfferPart(id, key, picture);
}

void PictureServer::OfferPart(ClientId id, qint64 key, const QByteArray& picture)
{
    Client* client = Find(id);
    if (!client || client->phase != Phase::Streaming || picture.isEmpty() || client->sentKey == key ||
        client->waitingKey == key)
        return;
    if (!client->waitingKey && client->out.empty()) {
        WritePart(id, *client, key, picture);
        return;
    }
    // The viewer has not taken the last part yet: the frame waits behind it,
    // in place of an older one that waited.
    if (client->waitingKey)
        ++framesReplaced_;
    client->waitingKey = key;
    client->waiting = picture;
    NoteHeld(*client);
}

void PictureServer::WritePart(ClientId id, Client& client, qint64 key, const QByteArray& picture)
{
    const QByteArray header = Bytes(StreamPartHeader(static_cast<size_t>(picture.size())));
    client.sentKey = key;
    ++partsWritten_;
    Send(id, client, {header, picture, StaticBytes(kStreamPartEnd)});
    NoteHeld(client);
}

// The system has taken all of the stream's part: the waiting frame follows.
void PictureServer::StreamProgress(ClientId id, Client& client)
{
    if (!client.waitingKey)
        return;
    const qint64 key = *client.waitingKey;
    const QByteArray picture = std::exchange(client.waiting, QByteArray());
    client.waitingKey.reset();
    WritePart(id, client, key, picture);
}

// The closing boundary follows the part being sent; a frame still waiting is
// dropped. The connection then ends as any answer does.
void PictureServer::EndStream(ClientId id)
{
    Client* client = Find(id);
    if (!client)
        return;
    client->waiting.clear();
    client->waitingKey.reset();
    client->ending = true;
    Send(id, *client, {StaticBytes(kStreamEnd)});
    Finish(id);
}

void PictureServer::NoteHeld(const Client& client)
{
    peakHeldBytes_ = std::max(peakHeldBytes_, client.outBytes + client.waiting.size());
}

PictureServer::StreamFigures PictureServer::StreamStatus() const
{
    StreamFigures figures;
    for (const auto& [id, client] : clients_) {
        if (client.phase != Phase::Streaming)
            continue;
        ++figures.streams;
        figures.heldBytes += client.outBytes + client.waiting.size();
    }
    figures.peakHeldBytes = peakHeldBytes_;
    figures.partsWritten = partsWritten_;
    figures.framesReplaced = framesReplaced_;
    return figures;
}

}  // namespace orv::web
