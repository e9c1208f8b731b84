#pragma once
// A TCP client on a plain non-blocking socket, for tests whose server runs
// in the same thread: every wait turns the event loop, and the test decides
// when and how much the client reads.

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <cerrno>
#include <chrono>
#include <functional>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orv::test {

class RawClient {
public:
    // Connects to 127.0.0.1:port. receiveBuffer > 0 makes the client's
    // receive buffer small, so that a client that does not read soon stops
    // taking bytes. source, a loopback address such as "127.0.0.2", is the
    // client's own address (127.0.0.1 without it). waitForQueue false
    // connects without blocking: when the server's listening queue is full,
    // the connection completes later, or never.
    explicit RawClient(int port, int receiveBuffer = 0, const char* source = nullptr, bool waitForQueue = true)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        if (source) {
            sockaddr_in own{};
            own.sin_family = AF_INET;
            ::inet_pton(AF_INET, source, &own.sin_addr);
            ::bind(fd_, reinterpret_cast<const sockaddr*>(&own), sizeof own);
        }
        if (!waitForQueue)
            ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // Loopback connections complete in the system's queue, without the
        // server's event loop.
        const int result = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        connected_ = result == 0 || (!waitForQueue && errno == EINPROGRESS);
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }
    ~RawClient() { Close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connected() const { return connected_; }

    void Close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    // Shuts the client's sending side: the server reads the end of the
    // request, and the client still reads.
    void ShutSending() { ::shutdown(fd_, SHUT_WR); }

    // One attempt to send, without waiting: whether all of bytes went.
    bool SendNow(const QByteArray& bytes)
    {
        return ::send(fd_, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }

    bool Send(const QByteArray& bytes)
    {
        qsizetype sent = 0;
        QElapsedTimer timer;
        timer.start();
        while (sent < bytes.size() && timer.elapsed() < kLimitMs) {
            const ssize_t n = ::send(fd_, bytes.constData() + sent, static_cast<size_t>(bytes.size() - sent), MSG_NOSIGNAL);
            if (n > 0)
                sent += n;
            else if (n < 0 && errno != EAGAIN)
                return false;
            else
                QTest::qWait(1);
        }
        return sent == bytes.size();
    }

    // Reads at most chunk bytes a time, turning the event loop between reads
    // (and pausing pause between chunks), until the server ends the
    // connection or the time limit passes. True when it ended: the end of the
    // stream or a reset.
    bool ReadToEnd(size_t chunk = 64 * 1024, std::chrono::milliseconds pause = std::chrono::milliseconds(0),
                   const std::function<void()>& betweenChunks = {})
    {
        QElapsedTimer timer;
        timer.start();
        QByteArray buffer(static_cast<qsizetype>(chunk), '\0');
        while (timer.elapsed() < kLimitMs) {
            const ssize_t n = ::recv(fd_, buffer.data(), chunk, 0);
            if (n > 0) {
                received_.append(buffer.constData(), n);
                if (betweenChunks)
                    betweenChunks();
                if (pause.count() > 0)
                    QTest::qWait(static_cast<int>(pause.count()));
                else
                    QCoreApplication::processEvents();
                continue;
            }
            if (n == 0)
                return true;
            if (errno != EAGAIN) {
                reset_ = true;
                return true;
            }
            QTest::qWait(1);
        }
        return false;
    }

    // Reads until at least total bytes have arrived in all, turning the event
    // loop meanwhile; false when the time limit passes or the server ends the
    // connection first.
    bool ReadAtLeast(qsizetype total)
    {
        QElapsedTimer timer;
        timer.start();
        QByteArray buffer(64 * 1024, '\0');
        while (received_.size() < total && timer.elapsed() < kLimitMs) {
            const ssize_t n = ::recv(fd_, buffer.data(), static_cast<size_t>(buffer.size()), 0);
            if (n > 0)
                received_.append(buffer.constData(), n);
            else if (n == 0 || errno != EAGAIN)
                return false;
            else
                QTest::qWait(1);
        }
        return received_.size() >= total;
    }

    // Reads what has arrived, without waiting.
    void ReadAvailable()
    {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0)
            received_.append(buffer, n);
    }

    const QByteArray& Received() const { return received_; }
    bool WasReset() const { return reset_; }

private:
    static constexpr int kLimitMs = 10000;

    int fd_ = -1;
    bool connected_ = false;
    bool reset_ = false;
    QByteArray received_;
};

}  // namespace orv::test
