#pragma once
// The picture web server's sockets, on the user-interface thread and event
// driven: the listening socket on every IPv4 address, and the client
// connections it accepts, each on its plain non-blocking socket.
//
// A connection's bytes are collected until its request header has ended (an
// empty line) or kMaxRequestBytes have come without one (answered 431); then
// ClientRead tells the window, which decides whether AnswerRequest answers it.
// Each connection carries one request and one answer: anything sent after the
// request is read and dropped. The answer reaches the client whole, also when
// the client has shut its sending side; then our side is shut and the
// connection closed once the client has closed too.
//
// Safeguards, timed by the program's clock (platform/Clock.h): a connection
// whose request is not whole kIdleLimit after it was accepted, or whose
// answer the client does not take for kIdleLimit, is closed. At most
// kMaxClients connections; of the connections that have not sent a whole
// request yet, at most kMaxClientsPerAddress from one client address (more
// are closed at once), so that idle sockets of one address cannot lock the
// others out while many viewers behind one proxy still all get their
// pictures. When the bound is reached, the connection that has waited
// longest without a whole request makes room; without one, the oldest whose
// answer is all sent; without one, the stream whose viewer has made no
// progress for longest (at least kStalledForRoom).
//
// With the stream on, GET /stream.mjpg keeps its connection: each new frame
// (FrameChanged) becomes a part of a multipart/x-mixed-replace answer. A
// stream holds at most the part it is sending and the newest frame waiting
// behind it (a newer frame replaces a waiting one), and the system at most
// its small send buffer (kStreamSendBuffer). What the viewer has taken is
// what the system no longer holds for it (SIOCOUTQ); a stream whose viewer
// takes less than kStreamProgressBytes in kStreamStallLimit while it has some
// to take is reset.
//
// With credentials set, keys are derived on a worker, one at a time: at most
// kDerivationsPerSecond in all, and for each address at most one check
// waiting or under way and one derivation each kAddressDerivationPause.
// Credentials found good are remembered and answered at once from any
// address; wrong or missing ones get 401 at once. An address with
// kWrongAttemptsLimit wrong attempts in kWrongAttemptsWindow gets 429 with
// Retry-After, and no derivation, until the oldest of them ages out.

#include <QAbstractSocket>
#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QTcpServer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/socket.h>

class QSocketNotifier;
class QTimer;

namespace orv::web {

// The message for a listening socket that cannot be opened: the system's
// text for the error, its number and the call that failed, and for a port
// that needs privileges (EACCES) what to do.
QString ListenErrorText(const QString& systemText, int number, const char* call);

// A client connection, by a number that is never used twice.
using ClientId = quint64;

class PictureServer final : public QTcpServer {
    Q_OBJECT
public:
    static constexpr int kMaxClients = 64;
    // The listening queue holds as many connections as the system allows
    // (SOMAXCONN), so that connections arriving while the event loop is busy,
    // or while an attacker opens hundreds at once, wait there rather than be
    // dropped and tried again by their client a second later. Each turn of
    // the event loop takes at most kAcceptsPerTurn of them, so that a full
    // queue never holds up the window (measured: 64 keep a turn under about
    // 10 ms with a benchmark client at 30,000 requests a second); the rest
    // wait for the next turn.
    static constexpr int kBacklog = SOMAXCONN;
    static constexpr int kAcceptsPerTurn = kMaxClients;
    static constexpr int kMaxClientsPerAddress = 8;
    static constexpr std::chrono::milliseconds kIdleLimit{10000};
    static constexpr std::chrono::milliseconds kStreamStallLimit{10000};
    // A stream whose viewer has made no progress for this long while it had
    // bytes to take may be closed to make room for a new connection.
    static constexpr std::chrono::milliseconds kStalledForRoom{1000};
    // The send buffer asked for a stream's socket. The system doubles it
    // and may take one segment (64 KiB at most) past it: about two VGA parts
    // in all.
    static constexpr int kStreamSendBuffer = 32 * 1024;
    // What a stream's viewer must take to count as progress (see NoteTaken).
    static constexpr qint64 kStreamProgressBytes = 16 * 1024;
    static constexpr int kDerivationsPerSecond = 4;
    static constexpr std::chrono::milliseconds kAddressDerivationPause{1000};
    static constexpr int kWrongAttemptsLimit = 10;
    static constexpr std::chrono::milliseconds kWrongAttemptsWindow{60000};

    explicit PictureServer(QObject* parent = nullptr);
    ~PictureServer() override;

    // Listens on every IPv4 address at port, with a queue of kBacklog
    // pending connections; each turn of the event loop accepts those that
    // wait in it, kAcceptsPerTurn at most. On failure nothing listens and
    // *error holds the message for the user: the system's text for the
    // error, its number and the call that failed ("socket", "bind" or
    // "listen"), and what to do when the port needs privileges.
    // localOnly listens on 127.0.0.1 alone, so that only this machine's
    // programs reach the server.
    bool Open(int port, QString* error, bool localOnly = false);
    // With a user name, every request needs HTTP Basic credentials of that
    // user with the password that passwordHash was made from
    // (MakePasswordHash); without them it gets 401 (or 429, see above). An
    // empty user name lets everyone watch. For the requests that follow.
    // A user name with a hash that no password can match (not made by
    // MakePasswordHash) is said on standard error, once for each change.
    void SetCredentials(const QString& user, const QString& passwordHash);
    // Closes the listening socket. Every stream gets its closing boundary
    // behind the part it is sending and is closed once the viewer has taken
    // it; every other client connection is closed at once.
    void Close();

    // Whether GET /stream.mjpg is answered with the live stream; off, that
    // path is not found, as any other. For the requests that follow.
    void SetStreamEnabled(bool enabled) { streamEnabled_ = enabled; }
    bool StreamEnabled() const { return streamEnabled_; }
    // What GET /state answers, as JSON (application/json), asked for each
    // request on this thread; without a provider /state is not found. The
    // answer is for anyone who may watch: nothing in it may tell the
    // credentials or the paths of this machine.
    using StateProvider = std::function<QJsonObject()>;
    void SetStateProvider(StateProvider provider) { stateProvider_ = std::move(provider); }

    // The frame to serve has changed: each open stream gets it as its next
    // part (encoded once, on a worker thread, like the picture). Nothing
    // happens while no stream is open.
    void FrameChanged(const QImage& frame);

    // Answers the whole request of client (after ClientRead): the header and
    // body, the picture being frame as JPEG (503 while frame is empty), then
    // closes. A client that has had its answer, or has none to get, is left
    // as it is.
    void AnswerRequest(ClientId client, const QImage& frame);
    // Closes a client connection at once (after a socket error).
    void CloseClient(ClientId client);

    // The safeguards; tests change them.
    void SetIdleLimit(std::chrono::milliseconds limit) { idleLimit_ = limit; }
    void SetMaxClients(int count) { maxClients_ = count; }
    void SetMaxClientsPerAddress(int count) { maxClientsPerAddress_ = count; }
    void SetStreamStallLimit(std::chrono::milliseconds limit) { streamStallLimit_ = limit; }
    // Closes the connections past their time limits by the clock now. A
    // timer calls it several times a second while connections are open.
    void CheckLimits();
    int ClientCount() const { return static_cast<int>(clients_.size()); }
    // How many frames were encoded so far: each frame at most once.
    int EncodingCount() const { return encodingCount_; }

    // The streams' own accounting of what they hold.
    struct StreamFigures {
        int streams = 0;           // open stream connections
        qint64 heldBytes = 0;      // now: parts not yet taken by the system, and frames waiting
        qint64 peakHeldBytes = 0;  // the most that one stream connection has held at any time
        qint64 partsWritten = 0;   // parts written to streams so far
        qint64 framesReplaced = 0; // waiting frames replaced by a newer one before they were written
        qint64 kernelBytes = 0;      // now: bytes the system holds that the viewers have not taken
        qint64 peakKernelBytes = 0;  // the most the system held for one stream, as last looked at
        qint64 stalledClosed = 0;    // streams closed because their viewer made no progress
    };
    StreamFigures StreamStatus() const;

    // The checks of credentials so far.
    struct CredentialFigures {
        qint64 derivations = 0;       // keys derived
        qint64 derivationCpuNs = 0;   // processor time of the derivations
        qint64 refused = 0;           // 429 answers
        int waiting = 0;              // checks waiting to begin
        bool deriving = false;        // a check under way
    };
    CredentialFigures CredentialStatus() const;

Q_SIGNALS:
    // A client's request has arrived whole (or the client has shut its
    // sending side after part of one).
    void ClientRead(orv::web::ClientId client);
    // A client connection failed. The server closes it after this signal
    // unless the receiver has done so.
    void ClientError(orv::web::ClientId client, QAbstractSocket::SocketError error);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    enum class Phase {
        Waiting,    // for the whole request
        Ready,      // the request is whole and waits for AnswerRequest
        Encoding,   // the picture is being encoded; nothing written yet
        Sending,    // the answer is written, the client has not taken all of it
        Lingering,  // all sent and our side shut: waiting for the client to close
        Streaming,  // the stream's header is written; parts follow the frames
    };
    struct Client {
        int fd = -1;
        quint32 address = 0;  // the client's IPv4 address
        Phase phase = Phase::Waiting;
        uint32_t accepted = 0;  // clock ticks
        // When the client last took bytes, or when bytes began to wait for it.
        uint32_t progress = 0;
        QByteArray request;
        bool headOnly = false;
        // A request whose credentials wait to be checked, or are being checked.
        bool held = false;
        bool peerClosed = false;  // the client has shut its sending side
        bool broken = false;      // a send failed; the close follows
        QSocketNotifier* reader = nullptr;
        QSocketNotifier* writer = nullptr;  // made when the system first has no room
        // What the system has not taken yet: pieces, the bytes of the first
        // that it has taken, and the total left.
        std::deque<QByteArray> out;
        qsizetype outOffset = 0;
        qint64 outBytes = 0;
        // Bytes handed to the system in all; of them, those the client has
        // taken as last looked at, and those the system still held then.
        qint64 written = 0;
        qint64 taken = 0;
        qint64 unsent = 0;
        qint64 takenAtProgress = 0;  // a stream's taken at its last progress
        // A stream: the frame of the last part written, and the JPEG of the
        // newest frame waiting until the system has taken that part.
        std::optional<qint64> sentKey;
        std::optional<qint64> waitingKey;
        QByteArray waiting;
        bool ending = false;  // a stream that has had its closing boundary
    };
    struct Mailbox;
    // Credentials waiting for their key to be derived.
    struct Check {
        ClientId client = 0;
        quint32 address = 0;
        QByteArray credentials;
    };

    Client* Find(ClientId id);
    void Readable(ClientId id);
    void Writable(ClientId id);
    // Queues pieces behind what waits and hands the system what it takes.
    void Send(ClientId id, Client& client, std::initializer_list<QByteArray> pieces);
    void Flush(ClientId id, Client& client);
    void Failed(ClientId id, QAbstractSocket::SocketError error);
    void Finish(ClientId id);
    void AnswerDone(ClientId id, Client& client);
    // Closes a connection with a reset, so that the system drops what the
    // client did not take instead of trying on to deliver it.
    void Abort(ClientId id);
    // Closes a connection past a time limit: a reset when bytes wait for it.
    void Expire(ClientId id);
    int WaitingFrom(quint32 address) const;
    // Reads what has come for the connections of address that wait for
    // their request.
    void ReadWaitingFrom(quint32 address);
    bool MakeRoom();
    // Looks at what the system still holds for a stream: the viewer's
    // progress, and whether it has anything to take.
    void NoteTaken(Client& client, uint32_t now);
    // Whether client may have its answer now. When not, it has been
    // answered (401 or 429), or it waits for its credentials' check.
    bool Authorized(ClientId id, Client& client, std::string_view request);
    void Refuse(ClientId id, Client& client, int retryAfterSeconds);
    // Seconds until address may try credentials again; 0 when it may now.
    int LockedOutFor(quint32 address, uint32_t now);
    bool CheckPendingFor(quint32 address) const;
    void StartNextCheck();
    void CredentialsChecked(const Check& check, quint64 generation, bool good, int derivations, qint64 cpuNs);
    void CloseEnded();
    // Accepts what waits in the listening queue (listener_).
    void TakeWaitingConnections();
    // A new connection from address: kept, or closed at once at the bounds.
    void Take(int fd, quint32 address);
    void SendPicture(ClientId id, const QByteArray& picture);
    void AwaitPicture(ClientId id, const QImage& frame);
    void StartNextEncoding();
    void PictureEncoded(qint64 key, const QByteArray& picture);
    // Encodes frame unless it is encoded, being encoded or queued already.
    void RequestEncoding(const QImage& frame);
    // Whether an encoding of the frame with this key is still wanted.
    bool Wanted(qint64 key) const;
    bool HasStreams() const;
    void StartStream(ClientId id, const QImage& frame);
    // The JPEG of frame key for every stream that has not had it.
    void DeliverToStreams(qint64 key, const QByteArray& picture);
    void OfferPart(ClientId id, qint64 key, const QByteArray& picture);
    void WritePart(ClientId id, Client& client, qint64 key, const QByteArray& picture);
    void StreamProgress(ClientId id, Client& client);
    void EndStream(ClientId id);
    void NoteHeld(const Client& client);

    std::chrono::milliseconds idleLimit_ = kIdleLimit;
    std::chrono::milliseconds streamStallLimit_ = kStreamStallLimit;
    int maxClients_ = kMaxClients;
    int maxClientsPerAddress_ = kMaxClientsPerAddress;
    bool streamEnabled_ = false;
    StateProvider stateProvider_;
    QString user_;
    QString passwordHash_;
    quint64 credentialsGeneration_ = 0;  // changes with the user and hash
    // Credentials found good, as sent, so that each is checked once.
    QSet<QByteArray> goodCredentials_;
    // Checks in the order they came, and the one being derived.
    std::deque<Check> checks_;
    std::optional<Check> runningCheck_;
    // When each derivation of the last second began (clock ticks), and when
    // each address last had one begun.
    std::deque<uint32_t> derivationStarts_;
    QHash<quint32, uint32_t> derivedAt_;
    // The wrong attempts of each address in the last kWrongAttemptsWindow,
    // at most kWrongAttemptsLimit of them (clock ticks).
    QHash<quint32, std::deque<uint32_t>> wrongAttempts_;
    qint64 derivations_ = 0;
    qint64 derivationCpuNs_ = 0;
    qint64 refused_ = 0;
    // By id, so in the order of acceptance.
    std::map<ClientId, Client> clients_;
    ClientId nextId_ = 1;
    QTimer* limits_ = nullptr;
    QSocketNotifier* listener_ = nullptr;  // the listening socket, while open
    bool accepting_ = false;  // in TakeWaitingConnections

    // The JPEG of the last frame encoded, by the frame's cache key (which
    // changes whenever the frame is written to).
    std::optional<qint64> encodedKey_;
    QByteArray encodedPicture_;
    // Frames are encoded one at a time on a worker thread; the clients wait
    // for the frame that was current when they asked.
    std::optional<qint64> encodingKey_;
    std::deque<QImage> framesToEncode_;
    std::vector<std::pair<qint64, ClientId>> awaiting_;
    std::shared_ptr<Mailbox> mailbox_;
    int encodingCount_ = 0;

    // The newest frame the streams are to get, and whether the encoding in
    // progress was begun for them.
    std::optional<qint64> streamKey_;
    bool encodingForStreams_ = false;
    qint64 peakHeldBytes_ = 0;
    qint64 partsWritten_ = 0;
    qint64 framesReplaced_ = 0;
    qint64 peakKernelBytes_ = 0;
    qint64 stalledClosed_ = 0;
};

}  // namespace orv::web
