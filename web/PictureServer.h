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
// kMaxClients connections, and at most kMaxClientsPerAddress from one client
// address (more are closed at once); when the bound is reached, the
// connection that has waited longest without a whole request makes room (or,
// without one, the oldest whose answer is all sent).
//
// With the stream on, GET /stream.mjpg keeps its connection: each new frame
// (FrameChanged) becomes a part of a multipart/x-mixed-replace answer. A
// stream holds at most the part it is sending and the newest frame waiting
// behind it (a newer frame replaces a waiting one), and one that takes no
// bytes for kStreamStallLimit while it has some to take is closed.

#include <QAbstractSocket>
#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QSet>
#include <QString>
#include <QTcpServer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

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
    static constexpr int kBacklog = 5;
    static constexpr int kMaxClients = 64;
    static constexpr int kMaxClientsPerAddress = 8;
    static constexpr std::chrono::milliseconds kIdleLimit{10000};
    static constexpr std::chrono::milliseconds kStreamStallLimit{10000};

    explicit PictureServer(QObject* parent = nullptr);
    ~PictureServer() override;

    // Listens on every IPv4 address at port, with a queue of kBacklog
    // pending connections. On failure nothing listens and *error holds the
    // message for the user: the system's text for the error, its number and
    // the call that failed ("socket", "bind" or "listen"), and what to do
    // when the port needs privileges.
    // localOnly listens on 127.0.0.1 alone, so that only this machine's
    // programs reach the server.
    bool Open(int port, QString* error, bool localOnly = false);
    // With a user name, every request needs HTTP Basic credentials of that
    // user with the password that passwordHash was made from
    // (MakePasswordHash); without them it gets 401. After a wrong attempt,
    // the next answer to the same address waits until a second has passed.
    // An empty user name lets everyone watch. For the requests that follow.
    // A user name with a hash that no password can match (not made by
    // MakePasswordHash) is said on standard error, once for each change.
    void SetCredentials(const QString& user, const QString& passwordHash);
    static constexpr std::chrono::milliseconds kFailedAttemptPause{1000};
    // Closes the listening socket. Every stream gets its closing boundary
    // behind the part it is sending and is closed once the viewer has taken
    // it; every other client connection is closed at once.
    void Close();

    // Whether GET /stream.mjpg is answered with the live stream; off, that
    // path is not found, as any other. For the requests that follow.
    void SetStreamEnabled(bool enabled) { streamEnabled_ = enabled; }
    bool StreamEnabled() const { return streamEnabled_; }
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
    };
    StreamFigures StreamStatus() const;

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
        // A request that waits for its address's pause after a wrong attempt,
        // or for its credentials to be checked on a worker.
        bool held = false;
        bool checking = false;
        bool peerClosed = false;  // the client has shut its sending side
        bool broken = false;      // a send failed; the close follows
        QSocketNotifier* reader = nullptr;
        QSocketNotifier* writer = nullptr;
        // What the system has not taken yet: pieces, the bytes of the first
        // that it has taken, and the total left.
        std::deque<QByteArray> out;
        qsizetype outOffset = 0;
        qint64 outBytes = 0;
        // A stream: the frame of the last part written, and the JPEG of the
        // newest frame waiting until the system has taken that part.
        std::optional<qint64> sentKey;
        std::optional<qint64> waitingKey;
        QByteArray waiting;
        bool ending = false;  // a stream that has had its closing boundary
    };
    struct Mailbox;

    Client* Find(ClientId id);
    void Readable(ClientId id);
    void Writable(ClientId id);
    // Queues pieces behind what waits and hands the system what it takes.
    void Send(ClientId id, Client& client, std::initializer_list<QByteArray> pieces);
    void Flush(ClientId id, Client& client);
    void Failed(ClientId id, QAbstractSocket::SocketError error);
    void Finish(ClientId id);
    void AnswerDone(ClientId id, Client& client);
    bool MakeRoomFor(quint32 address);
    // Whether client may have its answer now; answers 401 when not allowed.
    bool Authorized(ClientId id, Client& client, std::string_view request);
    void CredentialsChecked(ClientId id, const QByteArray& credentials, bool good);
    void CloseEnded();
    void TakeWaitingConnections();
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
    QString user_;
    QString passwordHash_;
    // Credentials found good, as sent, so that each is checked once.
    QSet<QByteArray> goodCredentials_;
    // When each address last sent wrong credentials (clock ticks).
    QHash<quint32, uint32_t> failedAt_;
    // By id, so in the order of acceptance.
    std::map<ClientId, Client> clients_;
    ClientId nextId_ = 1;
    QTimer* limits_ = nullptr;
    bool accepting_ = false;  // in incomingConnection or TakeWaitingConnections

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
};

}  // namespace orv::web
