// The page in a real browser: the program runs with the simulated phone, its
// web camera started by the switch S and its server on a private port;
// headless Chromium loads the page and takes a screenshot, which must show
// the camera's picture on the page's black background.

#include "tests/support/FreePort.h"
#include "tests/support/ProgramRun.h"
#include "capture/Jpeg.h"
#include "tests/support/TestEnv.h"

#include <QFile>
#include <QHostAddress>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr int kWindowWidth = 800;
constexpr int kWindowHeight = 600;

// The body of the picture answer; empty while there is no picture (or no
// server) yet.
QByteArray FetchPicture(int port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    if (!socket.waitForConnected(2000))
        return {};
    socket.write("GET /CURRENT.JPG HTTP/1.1\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(5000))
        answer += socket.readAll();
    const qsizetype end = answer.indexOf("\r\n\r\n");
    if (!answer.startsWith("HTTP/1.1 200 OK\r\n") || end < 0 ||
        !answer.left(end).contains("\r\nContent-type: image/jpeg\r\n"))
        return {};
    return answer.mid(end + 4);
}

bool IsBlack(QRgb pixel) { return qRed(pixel) < 24 && qGreen(pixel) < 24 && qBlue(pixel) < 24; }

// The mean difference per colour sample between picture and the part of page
// at offset, sampling every step-th pixel.
double MeanDifference(const QImage& page, const QImage& picture, QPoint offset, int step)
{
    long long sum = 0, samples = 0;
    for (int y = 0; y < picture.height(); y += step) {
        const uchar* a = page.constScanLine(offset.y() + y) + 3 * offset.x();
        const uchar* b = picture.constScanLine(y);
        for (int x = 0; x < picture.width() * 3; x += 3 * step) {
            sum += std::abs(a[x] - b[x]) + std::abs(a[x + 1] - b[x + 1]) + std::abs(a[x + 2] - b[x + 2]);
            samples += 3;
        }
    }
    return samples ? static_cast<double>(sum) / static_cast<double>(samples) : 255.0;
}

// Where picture lies in page (both RGB888): a coarse search over every
// offset, then a fine one around the best.
QPoint BestMatch(const QImage& page, const QImage& picture)
{
    const int maxX = page.width() - picture.width(), maxY = page.height() - picture.height();
    QPoint best(0, 0);
    double bestDifference = 1e9;
    const auto search = [&](int x0, int x1, int y0, int y1, int stride, int step) {
        for (int y = std::max(0, y0); y <= std::min(maxY, y1); y += stride) {
            for (int x = std::max(0, x0); x <= std::min(maxX, x1); x += stride) {
                const double difference = MeanDifference(page, picture, QPoint(x, y), step);
                if (difference < bestDifference) {
                    bestDifference = difference;
                    best = QPoint(x, y);
                }
            }
        }
    };
    search(0, maxX, 0, maxY, 4, 8);
    const QPoint coarse = best;
    bestDifference = 1e9;
    search(coarse.x() - 4, coarse.x() + 4, coarse.y() - 4, coarse.y() + 4, 1, 2);
    return best;
}

TEST(BrowserTest, PageShowsTheCameraPictureOnBlack)
{
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (chromium.isEmpty())
        GTEST_SKIP() << "chromium is not installed (packaging/install-deps.sh installs it for the tests)";

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const int port = orv::test::FreePort();
    orv::test::ProgramRun program;
    program.WriteSettings(orv::test::Dword("ServerEnabled", 1) + orv::test::Dword("ServerPort", port) +
                          orv::test::Dword("ShowSplash", 0) + orv::test::Dword("AutoPhoneConnect", 1) +
                          orv::test::Dword("CameraInitTime", 100) + orv::test::Dword("Timeout", 100) +
                          QStringLiteral("\"AviTempName\"=\"%1/temp.avi\"\n\"AviFolder\"=\"%1/\"\n")
                              .arg(program.Folder())
                              .toUtf8());
    program.process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    ASSERT_TRUE(program.Start({QStringLiteral("--simulate-phone"), QStringLiteral("-S")}));

    // The phone connects, the web camera starts and hands over its first frame.
    QByteArray picture;
    program.WaitFor([&] { return !(picture = FetchPicture(port)).isEmpty(); });
    ASSERT_FALSE(picture.isEmpty()) << "no picture from the program; its messages: "
                                    << program.Messages().toStdString();
    QImage frame;
    ASSERT_TRUE(orv::DecodeJpeg(reinterpret_cast<const uint8_t*>(picture.constData()),
                                static_cast<size_t>(picture.size()), &frame));

    const QString shot = dir.filePath(QStringLiteral("page.png"));
    QProcess browser;
    browser.setProcessChannelMode(QProcess::MergedChannels);
    browser.start(chromium, {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"), QStringLiteral("--disable-gpu"),
                             QStringLiteral("--disable-quic"), QStringLiteral("--no-first-run"),
                             QStringLiteral("--disable-background-networking"),
                             QStringLiteral("--disable-component-update"), QStringLiteral("--disable-sync"),
                             QStringLiteral("--user-data-dir=") + dir.filePath(QStringLiteral("chromium")),
                             QStringLiteral("--screenshot=") + shot,
                             QStringLiteral("--window-size=%1,%2").arg(kWindowWidth).arg(kWindowHeight),
                             QStringLiteral("http://127.0.0.1:%1/").arg(port)});
    ASSERT_TRUE(browser.waitForFinished(120000));
    const QImage page(shot);
    ASSERT_FALSE(page.isNull()) << "no screenshot; chromium said: " << browser.readAll().toStdString();
    if (const QByteArray keep = qgetenv("ORVELLO_KEEP_SCREENSHOT"); !keep.isEmpty())
        page.save(QString::fromLocal8Bit(keep));
    ASSERT_EQ(page.size(), QSize(kWindowWidth, kWindowHeight));

    // Black page: the corners and the margins beside the picture.
    for (const QPoint corner : {QPoint(2, 2), QPoint(kWindowWidth - 3, 2), QPoint(2, kWindowHeight - 3),
                                QPoint(kWindowWidth - 3, kWindowHeight - 3), QPoint(20, kWindowHeight / 2),
                                QPoint(kWindowWidth - 20, kWindowHeight / 2)})
        EXPECT_TRUE(IsBlack(page.pixel(corner))) << corner.x() << "," << corner.y();

    // The camera's picture, found where it matches the frame fetched before
    // best (a later frame differs only in its counter and clocks): about the
    // same pixels, centred across the page.
    const QImage shown = page.convertToFormat(QImage::Format_RGB888);
    const QImage expected = frame.convertToFormat(QImage::Format_RGB888);
    const QPoint at = BestMatch(shown, expected);
    EXPECT_NEAR(at.x() + expected.width() / 2, kWindowWidth / 2, 12);
    EXPECT_LT(MeanDifference(shown, expected, at, 1), 12.0) << "at " << at.x() << "," << at.y();
}

}  // namespace
