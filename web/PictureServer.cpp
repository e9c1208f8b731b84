#include "PictureServer.h"

#include "Credentials.h"
#include "HttpRequest.h"
#include "capture/Jpeg.h"
#include "platform/Clock.h"
#include "platform/WorkerThread.h"
#include "Responses.h"
#include "texts/LangTexts.h"

#include <QJsonDocument>
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
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
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

qint64 ThreadCpuNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<qint64>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The bytes the system holds for a connection that its client has not
// acknowledged yet.
qint64 UnsentBytes(int fd)
{
    int unsent = 0;
    return ::ioctl(fd, SIOCOUTQ, &unsent) == 0 ? unsent : 0;
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

// Checks a request's credentials on a worker of the program, and tells the
// result, how many keys were derived and the processor time it took.
class CheckingThread final : public WorkerThread {
public:
    using Deliver = std::function<void(bool good, int derivations, qint64 cpuNs)>;
    CheckingThread(std::string request, QString user, QString hash, Deliver deliver)
        : request_(std::move(request)), user_(std::move(user)), hash_(std::move(hash)), deliver_(std::move(deliver))
    {
        SetFreeOnTerminate(true);
    }

protected:
    void Run() override
    {
        const qint64 start = ThreadCpuNs();
        int derivations = 0;
        const bool good = CheckAuthorization(request_, user_, hash_, &derivations) == Authorization::Good;
        deliver_(good, derivations, ThreadCpuNs() - start);
    }

private:
    std::string request_;
    QString user_;
    QString hash_;
    Deliver deliver_;
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
    ++credentialsGeneration_;
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
    // Connections are taken here rather than by QTcpServer, which goes on
    // accepting for as long as new ones come: a bounded number a turn
    // leaves the event loop to the window and the clients already there.
    pauseAccepting();
    listener_ = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    connect(listener_, &QSocketNotifier::activated, this, &PictureServer::TakeWaitingConnections);
    // While the server listens the limits are checked whether or not
    // connections are open: starting and stopping the timer for each
    // connection would cost more.
    limits_->start();
    return true;
}

void PictureServer::Close()
{
    if (listener_) {
        listener_->setEnabled(false);
        listener_->deleteLater();
        listener_ = nullptr;
    }
    close();
    if (clients_.empty())
        limits_->stop();
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
    checks_.clear();
}

PictureServer::Client* PictureServer::Find(ClientId id)
{
    const auto found = clients_.find(id);
    return found == clients_.end() ? nullptr : &found->second;
}

void PictureServer::incomingConnection(qintptr descriptor)
{
    const int fd = static_cast<int>(descriptor);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    quint32 address = 0;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 && peer.sin_family == AF_INET)
        address = ntohl(peer.sin_addr.s_addr);
    Take(fd, address);
}

// Each turn of the event loop takes the connections that wait in the
// listening queue, kAcceptsPerTurn at most: the others, and those that come
// meanwhile, wait for the next turn.
void PictureServer::TakeWaitingConnections()
{
    if (accepting_ || !listener_)
        return;
    accepting_ = true;
    const int listening = static_cast<int>(socketDescriptor());
    for (int taken = 0; taken < kAcceptsPerTurn && listener_; ++taken) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listening, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // No descriptor to be had: the queue is tried again shortly
                // rather than at once, over and over.
                listener_->setEnabled(false);
                QTimer::singleShot(100, listener_, [notifier = listener_] { notifier->setEnabled(true); });
            }
            break;
        }
        Take(fd, peer.sin_family == AF_INET ? ntohl(peer.sin_addr.s_addr) : 0);
    }
    accepting_ = false;
}

void PictureServer::Take(int fd, quint32 address)
{
    bool take = WaitingFrom(address) < maxClientsPerAddress_;
    if (!take) {
        // Clients send their request right after they connect: what has come
        // meanwhile frees the places of those that only wait to be read.
        ReadWaitingFrom(address);
        take = WaitingFrom(address) < maxClientsPerAddress_;
    }
    if (take && static_cast<int>(clients_.size()) >= maxClients_) {
        // A client that has had its answer connects again at once, often
        // before the server has seen it close the last connection.
        CloseEnded();
        take = static_cast<int>(clients_.size()) < maxClients_ || MakeRoom();
    }
    if (!take) {
        ::close(fd);
        return;
    }
    const ClientId id = nextId_++;
    Client client;
    client.fd = fd;
    client.address = address;
    client.accepted = client.progress = TheClock().TickCount();
    client.reader = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(client.reader, &QSocketNotifier::activated, this, [this, id] { Readable(id); });
    clients_.emplace(id, std::move(client));
    if (!limits_->isActive())
        limits_->start();
    // The request has usually come with the connection: it is read now
    // rather than at the next turn of the event loop.
    Readable(id);
}

void PictureServer::ReadWaitingFrom(quint32 address)
{
    std::vector<ClientId> waiting;
    for (const auto& [id, client] : clients_) {
        if (client.address == address && client.phase == Phase::Waiting)
            waiting.push_back(id);
    }
    for (const ClientId id : waiting)
        Readable(id);
}

// Only connections without a whole request count against their address:
// those are what idle sockets hold. Streams and answers on their way (many
// viewers behind one proxy come from one address) count only in all.
int PictureServer::WaitingFrom(quint32 address) const
{
    return static_cast<int>(std::count_if(clients_.begin(), clients_.end(), [address](const auto& entry) {
        return entry.second.address == address && entry.second.phase == Phase::Waiting;
    }));
}

// The bound is reached: the connection accepted first among those still
// without a whole request goes, so idle connections cannot shut clients out;
// failing that, the first whose answer is all with the system and that only
// waits for its client to close; failing that, the stream whose viewer has
// made no progress (NoteTaken) for longest, so viewers that never read
// cannot either.
bool PictureServer::MakeRoom()
{
    for (const Phase phase : {Phase::Waiting, Phase::Lingering}) {
        for (const auto& [id, client] : clients_) {
            if (client.phase == phase) {
                CloseClient(id);
                return true;
            }
        }
    }
    const uint32_t now = TheClock().TickCount();
    std::optional<ClientId> stalled;
    uint32_t stalledFor = 0;
    for (auto& [id, client] : clients_) {
        if (client.phase != Phase::Streaming)
            continue;
        NoteTaken(client, now);
        const bool hasSomeToTake = client.unsent > 0 || !client.out.empty();
        const uint32_t idle = now - client.progress;
        if (hasSomeToTake && Elapsed(client.progress, now, kStalledForRoom) && (!stalled || idle > stalledFor)) {
            stalled = id;
            stalledFor = idle;
        }
    }
    if (!stalled)
        return false;
    ++stalledClosed_;
    Abort(*stalled);
    return true;
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
    // Bytes begin to wait for the client. A stream's progress is what its
    // viewer takes (NoteTaken).
    if (client.out.empty() && client.phase != Phase::Streaming)
        client.progress = TheClock().TickCount();
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
        if (client.phase != Phase::Streaming)
            client.progress = TheClock().TickCount();
        client.written += n;
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
    // The system takes most answers at once: a connection watches for room
    // only once it has had to wait for it.
    const bool waitsForRoom = !client.out.empty() && !client.broken;
    if (waitsForRoom && !client.writer) {
        client.writer = new QSocketNotifier(client.fd, QSocketNotifier::Write, this);
        connect(client.writer, &QSocketNotifier::activated, this, [this, id] { Writable(id); });
    }
    if (client.writer)
        client.writer->setEnabled(waitsForRoom);
    if (client.phase == Phase::Streaming && !client.broken)
        NoteTaken(client, TheClock().TickCount());
}

// Progress is kStreamProgressBytes taken since the last, or all there was to
// take: the system lets a few bytes through to a viewer that never reads
// whenever its receive buffer is compacted, and that is no progress. Waiting
// for the camera's next frame is no stall.
void PictureServer::NoteTaken(Client& client, uint32_t now)
{
    client.unsent = UnsentBytes(client.fd);
    client.taken = client.written - client.unsent;
    if (client.taken - client.takenAtProgress >= kStreamProgressBytes || (client.unsent == 0 && client.out.empty())) {
        client.progress = now;
        client.takenAtProgress = client.taken;
    }
    peakKernelBytes_ = std::max(peakKernelBytes_, client.unsent);
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
}

void PictureServer::Abort(ClientId id)
{
    if (const Client* client = Find(id)) {
        const linger reset{1, 0};
        ::setsockopt(client->fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    CloseClient(id);
}

void PictureServer::Expire(ClientId id)
{
    const Client* client = Find(id);
    if (client && (!client->out.empty() || UnsentBytes(client->fd) > 0))
        Abort(id);
    else
        CloseClient(id);
}

void PictureServer::CloseClient(ClientId id)
{
    const auto found = clients_.find(id);
    if (found == clients_.end())
        return;
    Client client = std::move(found->second);
    clients_.erase(found);
    client.reader->setEnabled(false);
    client.reader->deleteLater();
    if (client.writer) {
        client.writer->setEnabled(false);
        client.writer->deleteLater();
    }
    ::close(client.fd);
    if (clients_.empty() && !listener_)
        limits_->stop();
}

void PictureServer::CheckLimits()
{
    const uint32_t now = TheClock().TickCount();
    std::vector<ClientId> expired;
    std::vector<ClientId> stalled;
    for (auto& [id, client] : clients_) {
        switch (client.phase) {
        case Phase::Waiting:
        case Phase::Ready:
            // Bytes that trickle in do not hold the connection open.
            if (Elapsed(client.accepted, now, idleLimit_))
                expired.push_back(id);
            break;
        case Phase::Encoding:
            break;  // waiting for the encoder is no idleness of the client's
        case Phase::Sending:
        case Phase::Lingering:
            if (Elapsed(client.progress, now, idleLimit_))
                expired.push_back(id);
            break;
        case Phase::Streaming:
            NoteTaken(client, now);
            if (Elapsed(client.progress, now, streamStallLimit_))
                stalled.push_back(id);
            break;
        }
    }
    for (const ClientId id : expired)
        Expire(id);
    stalledClosed_ += static_cast<qint64>(stalled.size());
    for (const ClientId id : stalled)
        Abort(id);
    // What has aged out of the credentials' limits.
    for (auto attempts = wrongAttempts_.begin(); attempts != wrongAttempts_.end();) {
        while (!attempts->empty() && Elapsed(attempts->front(), now, kWrongAttemptsWindow))
            attempts->pop_front();
        if (attempts->empty())
            attempts = wrongAttempts_.erase(attempts);
        else
            ++attempts;
    }
    for (auto derived = derivedAt_.begin(); derived != derivedAt_.end();) {
        if (Elapsed(derived.value(), now, kAddressDerivationPause))
            derived = derivedAt_.erase(derived);
        else
            ++derived;
    }
    StartNextCheck();
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
    case Resource::State:
        if (stateProvider_) {
            const QByteArray state = QJsonDocument(stateProvider_()).toJson(QJsonDocument::Compact);
            Send(id, *client, {Bytes(AnswerHeader(Resource::State, static_cast<size_t>(state.size()))),
                               request.headOnly ? QByteArray() : state});
        } else {
            Send(id, *client, {StaticBytes(kNotFoundAnswer)});
        }
        Finish(id);
        return;
    case Resource::Stream:
        if (!request.headOnly) {
            // What the system holds for the viewer stays within a couple of
            // parts; the rest waits here, where a newer frame replaces it.
            ::setsockopt(client->fd, SOL_SOCKET, SO_SNDBUF, &kStreamSendBuffer, sizeof kStreamSendBuffer);
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
    const QByteArray credentials = BasicCredentials(request);
    if (credentials.isEmpty()) {
        client.request = QByteArray();
        Send(id, client, {StaticBytes(kUnauthorizedAnswer)});
        Finish(id);
        return false;
    }
    if (goodCredentials_.contains(credentials))
        return true;
    // New credentials need their key derived, which takes tens of
    // milliseconds of a processor: an address that keeps guessing, or that
    // has a check under way, is told when to come back instead.
    if (const int wait = LockedOutFor(client.address, TheClock().TickCount()); wait > 0) {
        Refuse(id, client, wait);
        return false;
    }
    if (CheckPendingFor(client.address)) {
        Refuse(id, client, 1);
        return false;
    }
    client.held = true;
    checks_.push_back({id, client.address, credentials});
    StartNextCheck();
    return false;
}

void PictureServer::Refuse(ClientId id, Client& client, int retryAfterSeconds)
{
    ++refused_;
    client.request = QByteArray();
    Send(id, client, {Bytes(TooManyAttemptsAnswer(retryAfterSeconds))});
    Finish(id);
}

int PictureServer::LockedOutFor(quint32 address, uint32_t now)
{
    const auto found = wrongAttempts_.find(address);
    if (found == wrongAttempts_.end())
        return 0;
    std::deque<uint32_t>& attempts = *found;
    while (!attempts.empty() && Elapsed(attempts.front(), now, kWrongAttemptsWindow))
        attempts.pop_front();
    if (static_cast<int>(attempts.size()) < kWrongAttemptsLimit)
        return 0;
    // Until the oldest of them is a window old, in whole seconds.
    const auto since = static_cast<int64_t>(static_cast<uint32_t>(now - attempts.front()));
    const auto left = kWrongAttemptsWindow.count() - since;
    return static_cast<int>(std::max<int64_t>(1, (left + 999) / 1000));
}

bool PictureServer::CheckPendingFor(quint32 address) const
{
    if (runningCheck_ && runningCheck_->address == address)
        return true;
    return std::any_of(checks_.begin(), checks_.end(), [this, address](const Check& check) {
        return check.address == address && clients_.count(check.client);
    });
}

// Begins the first waiting check whose address may have a key derived now,
// while the derivations of the last second leave room; CheckLimits comes
// back to the others.
void PictureServer::StartNextCheck()
{
    if (runningCheck_)
        return;
    const uint32_t now = TheClock().TickCount();
    while (!derivationStarts_.empty() && Elapsed(derivationStarts_.front(), now, std::chrono::milliseconds(1000)))
        derivationStarts_.pop_front();
    if (static_cast<int>(derivationStarts_.size()) >= kDerivationsPerSecond)
        return;
    for (auto check = checks_.begin(); check != checks_.end();) {
        const Client* client = Find(check->client);
        if (!client || !client->held) {
            check = checks_.erase(check);  // closed meanwhile
            continue;
        }
        if (const auto derived = derivedAt_.constFind(check->address);
            derived != derivedAt_.constEnd() && !Elapsed(*derived, now, kAddressDerivationPause)) {
            ++check;
            continue;
        }
        runningCheck_ = *check;
        checks_.erase(check);
        derivationStarts_.push_back(now);
        derivedAt_.insert(runningCheck_->address, now);
        const std::string request(client->request.constData(), static_cast<size_t>(client->request.size()));
        auto* worker = new CheckingThread(
            request, user_, passwordHash_,
            [mailbox = mailbox_, check = *runningCheck_, generation = credentialsGeneration_](
                bool good, int derivations, qint64 cpuNs) {
                std::lock_guard lock(mailbox->lock);
                if (PictureServer* server = mailbox->receiver)
                    QMetaObject::invokeMethod(
                        server,
                        [server, check, generation, good, derivations, cpuNs] {
                            server->CredentialsChecked(check, generation, good, derivations, cpuNs);
                        },
                        Qt::QueuedConnection);
            });
        try {
            worker->Start();
        } catch (const std::system_error&) {
            delete worker;
            const ClientId id = runningCheck_->client;
            runningCheck_.reset();
            if (Client* waiting = Find(id)) {
                waiting->held = false;
                waiting->request = QByteArray();
                Send(id, *waiting, {StaticBytes(kUnavailableAnswer)});
                Finish(id);
            }
        }
        return;
    }
}

void PictureServer::CredentialsChecked(const Check& check, quint64 generation, bool good, int derivations,
                                       qint64 cpuNs)
{
    runningCheck_.reset();
    derivations_ += derivations;
    derivationCpuNs_ += cpuNs;
    const uint32_t now = TheClock().TickCount();
    // A second reading of the credentials was a second derivation.
    for (int extra = 1; extra < derivations; ++extra)
        derivationStarts_.push_back(now);
    Client* client = Find(check.client);
    if (generation != credentialsGeneration_) {
        // Checked against credentials no longer in force: again.
        if (client) {
            client->held = false;
            emit ClientRead(check.client);
        }
    } else if (good) {
        if (goodCredentials_.size() >= 16)
            goodCredentials_.clear();
        goodCredentials_.insert(check.credentials);
        if (client) {
            client->held = false;
            emit ClientRead(check.client);
        }
    } else {
        std::deque<uint32_t>& attempts = wrongAttempts_[check.address];
        attempts.push_back(now);
        while (static_cast<int>(attempts.size()) > kWrongAttemptsLimit)
            attempts.pop_front();
        if (client) {
            client->held = false;
            client->request = QByteArray();
            Send(check.client, *client, {StaticBytes(kUnauthorizedAnswer)});
            Finish(check.client);
        }
    }
    StartNextCheck();
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
        figures.kernelBytes += UnsentBytes(client.fd);
    }
    figures.peakHeldBytes = peakHeldBytes_;
    figures.partsWritten = partsWritten_;
    figures.framesReplaced = framesReplaced_;
    figures.peakKernelBytes = peakKernelBytes_;
    figures.stalledClosed = stalledClosed_;
    return figures;
}

PictureServer::CredentialFigures PictureServer::CredentialStatus() const
{
    CredentialFigures figures;
    figures.derivations = derivations_;
    figures.derivationCpuNs = derivationCpuNs_;
    figures.refused = refused_;
    figures.waiting = static_cast<int>(checks_.size());
    figures.deriving = runningCheck_.has_value();
    return figures;
}

}  // namespace orv::web
