// `orvello --serve` as systemd runs a unit of Type=notify with a watchdog: a
// datagram socket of the test's stands in for systemd's. The program says
// READY=1, its state in STATUS= lines, and WATCHDOG=1 at half the interval,
// also while the phone is away; a stopped process says nothing.

#include "tests/support/ProgramRun.h"
#include "tests/support/TestEnv.h"

#include <QElapsedTimer>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <functional>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace orv::test {
namespace {

// systemd's end of the notification socket.
class NotifySocket {
public:
    explicit NotifySocket(const QString& path) : path_(path.toStdString())
    {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof(address.sun_path) - 1);
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~NotifySocket()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool Bound() const { return bound_; }

    // The messages that come within milliseconds, each one assignment per line.
    QStringList Receive(int milliseconds)
    {
        QStringList lines;
        QElapsedTimer timer;
        timer.start();
        for (qint64 left = milliseconds; left > 0; left = milliseconds - timer.elapsed()) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, static_cast<int>(left)) <= 0)
                continue;
            char buffer[4096];
            const ssize_t length = ::recv(fd_, buffer, sizeof(buffer), 0);
            if (length > 0)
                lines << QString::fromUtf8(buffer, static_cast<int>(length)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        }
        return lines;
    }
    // Receives until a line satisfies wanted; everything received so far.
    QStringList Until(const std::function<bool(const QString&)>& wanted, int limitMs = 60000)
    {
        QStringList lines;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < limitMs) {
            const QStringList more = Receive(100);
            lines << more;
            for (const QString& line : more)
                if (wanted(line))
                    return lines;
        }
        return lines;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

TEST(SystemdNotify, ReadyStatusAndAWatchdogThatGoesOnWithoutAPhoneAndStopsWithTheProcess)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    NotifySocket systemd(dir.filePath(QStringLiteral("notify")));
    ASSERT_TRUE(systemd.Bound());
    ProgramRun program;
    program.WriteSettings("\"CameraInitTime\"=dword:00000000\n\"Timeout\"=dword:00000000\n\"JpgType\"=dword:00000004\n");
    program.environment.insert(QStringLiteral("PIPEWIRE_RUNTIME_DIR"), program.Folder());
    program.environment.insert(QStringLiteral("NOTIFY_SOCKET"), dir.filePath(QStringLiteral("notify")));
    // WatchdogSec=0.4: "alive" every 200 ms.
    program.environment.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("400000"));
    // The phone goes once it has served a few frames.
    program.environment.insert(QStringLiteral("ORVELLO_SIM_EVENTS"), QStringLiteral("4:unplug"));
    ASSERT_TRUE(program.Start({QStringLiteral("--serve"), QStringLiteral("--simulate-phone")}));
    const auto pid = static_cast<pid_t>(program.process.processId());

    // Serving frames needs no recording: ready at once, then the phone.
    QStringList lines = systemd.Until([](const QString& line) { return line == QLatin1String("STATUS=serving frames without recording"); });
    ASSERT_TRUE(lines.contains(QStringLiteral("READY=1"))) << lines.join(QLatin1Char('|')).toStdString();
    EXPECT_LT(lines.indexOf(QStringLiteral("READY=1")), lines.indexOf(QStringLiteral("STATUS=waiting for the phone")));
    EXPECT_TRUE(lines.contains(QStringLiteral("STATUS=starting the camera")));

    // The phone goes: the program says so, and keeps telling the watchdog.
    lines = systemd.Until([](const QString& line) { return line == QLatin1String("STATUS=waiting for the phone to come back"); });
    ASSERT_TRUE(lines.contains(QStringLiteral("STATUS=waiting for the phone to come back")))
        << lines.join(QLatin1Char('|')).toStdString();
    const QStringList away = systemd.Receive(2000);
    EXPECT_GE(away.count(QStringLiteral("WATCHDOG=1")), 4) << away.join(QLatin1Char('|')).toStdString();
    EXPECT_LE(away.count(QStringLiteral("WATCHDOG=1")), 20) << "at half the interval, not more often";

    // Stopped, it says nothing; going on, it says "alive" again.
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    systemd.Receive(300);  // what was on its way
    EXPECT_TRUE(systemd.Receive(1500).isEmpty());
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    EXPECT_TRUE(systemd.Until([](const QString& line) { return line == QLatin1String("WATCHDOG=1"); }, 5000)
                    .contains(QStringLiteral("WATCHDOG=1")));

    program.Signal(SIGTERM);
    ASSERT_TRUE(program.Finish());
    EXPECT_EQ(program.process.exitCode(), 0);
}

}  // namespace
}  // namespace orv::test
