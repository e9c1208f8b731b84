#pragma once
// The picture web server's sockets, on the user-interface thread and event
// driven: the listening socket on every IPv4 address, and the client
// connections it accepts. Each connection carries one request and one answer;
// the answer reaches the client whole before the connection is closed.
//
// The window decides what a read event does (ClientRead, ClientError); this
// object reads, answers and closes. Safeguards: at most kMaxClients open
// connections (more are closed at once), and a connection that makes no
// progress for kIdleLimit (no request, or an answer the client does not take)
// is closed.
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
#include <QPointer>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QTimer;

namespace orv::web {

class TPictureServer final : public QTcpServer {
    Q_OBJECT
public:
    static constexpr int kBacklog = 5;
    static constexpr int kMaxClients = 64;
    static constexpr std::chrono::milliseconds kIdleLimit{10000};
    static constexpr std::chrono::milliseconds kStreamStallLimit{30000};

    explicit TPictureServer(QObject* parent = nullptr);
    ~TPictureServer() override;

    // Listens on every IPv4 address at port, with a queue of kBacklog
    // pending connections. On failure nothing listens and *error holds the
    // message for the user: the system's text for the error, its number and
    // the call that failed ("socket", "bind" or "listen").
    bool Open(int port, QString* error);
    // Closes the listening socket. Every stream gets its closing boundary
    // behind the part it is sending and is closed once the viewer has taken
    // it; every other client connection is closed at once.
    void Close();

    // Whether GET /stream.mjpg is answered with the live stream; off, that
    // path is not found, as any other. For the requests that follow.
    void SetStreamEnabled(bool enabled) { streamEnabled_ = enabled; }
    bool StreamEnabled() const { return streamEnabled_; }
    // The frame to serve has changed: each open stream gets it as its next
    // part (encoded once, on the worker thread, like the picture). Nothing
    // happens while no stream is open.
    void FrameChanged(const QImage& frame);

    // One read event of a client: reads what has arrived as the whole
    // request, writes the answer piece by piece (the picture is frame as
    // JPEG), then closes. Later read events of the same client are drained
    // and never answered.
    void AnswerRequest(QTcpSocket* client, const QImage& frame);
    // Closes a client connection at once (after a socket error).
    void CloseClient(QTcpSocket* client);

    // The safeguards; tests shorten them.
    void SetIdleLimit(std::chrono::milliseconds limit) { idleLimit_ = limit; }
    void SetMaxClients(int count) { maxClients_ = count; }
    // Also for the streams already open.
    void SetStreamStallLimit(std::chrono::milliseconds limit);
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
    // A client connection has data.
    void ClientRead(QTcpSocket* client);
    // A client connection failed, or its peer closed it.
    void ClientError(QTcpSocket* client, QAbstractSocket::SocketError error);

private:
    enum class Phase {
        Waiting,    // for the request
        Encoding,   // the header is written, the picture is being encoded
        Sending,    // the answer is written, the client has not taken all of it
        Lingering,  // all sent and our side shut: waiting for the client to close
        Streaming,  // the stream's header is written; parts follow the frames
    };
    struct Client {
        Phase phase = Phase::Waiting;
        // The idle limit; for a stream, the stall limit while it has bytes
        // to take.
        QTimer* idle = nullptr;
        // A stream: the frame of the last part written, and the JPEG of the
        // newest frame waiting until the system has taken that part.
        std::optional<qint64> sentKey;
        std::optional<qint64> waitingKey;
        QByteArray waiting;
        bool ending = false;  // a stream that has had its closing boundary
    };
    struct Mailbox;

    void AcceptClients();
    void TakeWaitingConnections();
    void Finish(QTcpSocket* client);
    void TakeProgress(QTcpSocket* client);
    void ShutOurSide(QTcpSocket* client);
    void SendPicture(QTcpSocket* client, const QByteArray& picture);
    void AwaitPicture(QTcpSocket* client, const QImage& frame);
    void StartNextEncoding();
    void PictureEncoded(qint64 key, const QByteArray& picture);
    // Encodes frame unless it is encoded, being encoded or queued already.
    void RequestEncoding(const QImage& frame);
    // Whether an encoding of the frame with this key is still wanted.
    bool Wanted(qint64 key) const;
    bool HasStreams() const;
    void StartStream(QTcpSocket* client, const QImage& frame);
    // The JPEG of frame key for every stream that has not had it.
    void DeliverToStreams(qint64 key, const QByteArray& picture);
    void OfferPart(QTcpSocket* client, qint64 key, const QByteArray& picture);
    void WritePart(QTcpSocket* client, Client& state, qint64 key, const QByteArray& picture);
    void StreamProgress(QTcpSocket* client, Client& state);
    void EndStream(QTcpSocket* client);
    void NoteHeld(QTcpSocket* client, const Client& state);

    std::chrono::milliseconds idleLimit_ = kIdleLimit;
    std::chrono::milliseconds streamStallLimit_ = kStreamStallLimit;
    int maxClients_ = kMaxClients;
    bool streamEnabled_ = false;
    QHash<QTcpSocket*, Client> clients_;

    // The JPEG of the last frame encoded, by the frame's cache key (which
    // changes whenever the frame is written to).
    std::optional<qint64> encodedKey_;
    QByteArray encodedPicture_;
    // Frames are encoded one at a time on a worker thread; the clients wait
    // for the frame that was current when they asked.
    std::optional<qint64> encodingKey_;
    std::deque<QImage> framesToEncode_;
    std::vector<std::pair<qint64, QPointer<QTcpSocket>>> awaiting_;
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
