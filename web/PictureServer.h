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

    explicit TPictureServer(QObject* parent = nullptr);
    ~TPictureServer() override;

    // Listens on every IPv4 address at port, with a queue of kBacklog
    // pending connections. On failure nothing listens and *error holds the
    // message for the user: the system's text for the error, its number and
    // the call that failed ("socket", "bind" or "listen").
    bool Open(int port, QString* error);
    // Closes the listening socket and every client connection.
    void Close();

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
    int ClientCount() const { return static_cast<int>(clients_.size()); }
    // How many frames were encoded so far: each frame at most once.
    int EncodingCount() const { return encodingCount_; }

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
    };
    struct Client {
        Phase phase = Phase::Waiting;
        QTimer* idle = nullptr;
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

    std::chrono::milliseconds idleLimit_ = kIdleLimit;
    int maxClients_ = kMaxClients;
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
};

}  // namespace orv::web
