// The picture server's live MJPEG stream over real loopback connections, with
// a stand-in web camera whose frames the test hands over: the stream byte for
// byte with one part per frame, the answers when it is off, viewers that do
// not read, and the stream as ffprobe and Chromium see it.

#include "CameraServer.h"

#include "capture/Jpeg.h"
#include "RawClient.h"
#include "sim/SimPhone.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace orv::test {
namespace {

const QByteArray kHeader = "HTTP/1.1 200 OK\r\n"
                           "Server: Orvello 2.0\r\n"
                           "Content-Type: multipart/x-mixed-replace; boundary=orvelloframe\r\n"
                           "Cache-Control: no-store\r\n"
                           "Pragma: no-cache\r\n"
                           "Connection: close\r\n"
                           "\r\n";
const QByteArray kEnd = "--orvelloframe--\r\n";
const QByteArray kNotFound = "HTTP/1.1 404 File not found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

QByteArray PictureAnswer(const QByteArray& jpeg)
{
    return "HTTP/1.1 200 OK\r\nServer: Orvello 2.0\r\nContent-type: image/jpeg\r\nContent-Length: " +
           QByteArray::number(jpeg.size()) + "\r\nConnection: close\r\n\r\n" + jpeg;
}

QByteArray Part(const QByteArray& jpeg)
{
    return "--orvelloframe\r\nContent-Type: image/jpeg\r\nContent-Length: " + QByteArray::number(jpeg.size()) +
           "\r\n\r\n" + jpeg + "\r\n";
}

// A frame of noise, different for every seed; large frames make large parts.
QImage NoiseFrame(int width, int height, uint32_t seed)
{
    QImage frame(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y) {
        uchar* row = frame.scanLine(y);
        for (int x = 0; x < width * 3; ++x) {
            seed = seed * 1664525u + 1013904223u;
            row[x] = static_cast<uchar>(seed >> 24);
        }
    }
    return frame;
}

// A picture of the simulated camera, as the recorder hands it over.
QImage CameraFrame(int width, int height, uint32_t number)
{
    const std::vector<uint8_t> jpeg = sim::ShootTestPicture(width, height, number, 1796567400, 1, 3);
    QImage frame;
    EXPECT_TRUE(DecodeJpeg(jpeg.data(), jpeg.size(), &frame));
    return frame;
}

QByteArray Fetch(int port, const QByteArray& request)
{
    RawClient client(port);
    EXPECT_TRUE(client.Send(request));
    EXPECT_TRUE(client.ReadToEnd());
    return client.Received();
}

// The JPEG parts of a stream's body, in order.
std::vector<QByteArray> Parts(QByteArray body)
{
    std::vector<QByteArray> parts;
    const QByteArray lengthField = "Content-Length: ";
    for (;;) {
        const qsizetype field = body.indexOf(lengthField);
        if (field < 0)
            return parts;
        const qsizetype lineEnd = body.indexOf("\r\n", field);
        const qsizetype valueAt = field + lengthField.size();
        const qsizetype length = body.mid(valueAt, lineEnd - valueAt).toLongLong();
        const qsizetype start = lineEnd + 4;
        parts.push_back(body.mid(start, length));
        body = body.mid(start + length);
    }
}

class StreamTest : public CameraServerTest {
protected:
    std::unique_ptr<RawClient> OpenStream(const QByteArray& request = "GET /stream.mjpg HTTP/1.1\r\n\r\n",
                                          int receiveBuffer = 0)
    {
        auto client = std::make_unique<RawClient>(port_, receiveBuffer);
        EXPECT_TRUE(client->Send(request));
        return client;
    }
};

TEST_F(StreamTest, EveryNewFrameIsOnePartAndTheEndOfTheCameraEndsTheStream)
{
    CamForm& form = StartCamera(true, true);
    // Before any frame: the header alone.
    auto early = OpenStream("GET /stream.mjpg HTTP/1.1\r\nHost: camera\r\n\r\n");
    ASSERT_TRUE(early->ReadAtLeast(kHeader.size()));
    QByteArray expectedEarly = kHeader;

    const QImage frames[] = {NoiseFrame(320, 240, 1), CameraFrame(320, 240, 2), NoiseFrame(160, 120, 3)};
    ServeFrame(form, frames[0]);
    expectedEarly += Part(EncodeJpeg(frames[0]));
    ASSERT_TRUE(early->ReadAtLeast(expectedEarly.size()));
    // A viewer that comes later gets the frame of the moment at once; the
    // stream path is matched in any case and with HTTP/1.0 too.
    auto late = OpenStream("get /STREAM.MJPG http/1.0\r\n\r\n");
    QByteArray expectedLate = kHeader + Part(EncodeJpeg(frames[0]));
    ASSERT_TRUE(late->ReadAtLeast(expectedLate.size()));
    // The names that printer hosts and home automation ask for get the
    // same stream.
    auto byAction = OpenStream("GET /?action=stream HTTP/1.1\r\n\r\n");
    auto byShortName = OpenStream("GET /stream HTTP/1.0\r\n\r\n");
    for (const auto& viewer : {byAction.get(), byShortName.get()})
        ASSERT_TRUE(viewer->ReadAtLeast(expectedLate.size()));

    for (const QImage& frame : {frames[1], frames[2]}) {
        ServeFrame(form, frame);
        const QByteArray part = Part(EncodeJpeg(frame));
        expectedEarly += part;
        expectedLate += part;
        ASSERT_TRUE(early->ReadAtLeast(expectedEarly.size()));
        ASSERT_TRUE(late->ReadAtLeast(expectedLate.size()));
    }
    // The same frame handed over again is no new frame; the picture comes
    // from the same encoding as the stream's last part.
    ServeFrame(form, form.session->CurrentFrame());
    EXPECT_EQ(Fetch(port_, "GET /current.jpg HTTP/1.1\r\n\r\n"), PictureAnswer(EncodeJpeg(frames[2])));
    EXPECT_EQ(form.session->Server().EncodingCount(), 3);
    EXPECT_EQ(form.session->Server().StreamStatus().streams, 4);

    ASSERT_TRUE(StopCamera(form));
    for (const auto& [client, expected] :
         {std::pair{early.get(), &expectedEarly}, std::pair{late.get(), &expectedLate},
          std::pair{byAction.get(), &expectedLate}, std::pair{byShortName.get(), &expectedLate}}) {
        EXPECT_TRUE(client->ReadToEnd());
        EXPECT_FALSE(client->WasReset());
        EXPECT_TRUE(client->Received() == *expected + kEnd);
    }
}

// A camera faster than the encoder: each frame comes while the one before
// it is still being encoded. Every frame whose encoding completes is still
// offered to the viewers (written, or waiting until a newer one replaces it),
// rather than dropped because a newer frame has come meanwhile.
TEST_F(StreamTest, FramesFasterThanTheEncoderStillReachTheViewers)
{
    CamForm& form = StartCamera(true, true);
    auto viewer = OpenStream();
    ASSERT_TRUE(viewer->ReadAtLeast(kHeader.size()));
    ASSERT_TRUE(WaitFor([&] { return form.session->Server().StreamStatus().streams == 1; }));
    // Large frames: the encoding of one outlasts the turn of the event loop
    // that hands over the next.
    constexpr int kFrames = 4;
    std::vector<QByteArray> jpegs;
    for (int i = 0; i < kFrames; ++i) {
        const QImage frame = NoiseFrame(1600, 1200, 200 + static_cast<uint32_t>(i));
        jpegs.push_back(EncodeJpeg(frame));
        ServeFrame(form, frame);
        // The next frame comes once this one's encoding has begun.
        ASSERT_TRUE(WaitFor([&] { return form.session->Server().EncodingCount() == i + 1; }));
    }
    const QByteArray last = Part(jpegs.back());
    while (!viewer->Received().endsWith(last) && viewer->ReadAtLeast(viewer->Received().size() + 1)) {
    }
    const auto status = form.session->Server().StreamStatus();
    EXPECT_EQ(status.partsWritten + status.framesReplaced, kFrames);
    ASSERT_TRUE(viewer->Received().startsWith(kHeader + Part(jpegs.front())));
    ASSERT_TRUE(viewer->Received().endsWith(last));
    const std::vector<QByteArray> parts = Parts(viewer->Received().mid(kHeader.size()));
    EXPECT_EQ(static_cast<qint64>(parts.size()), form.session->Server().StreamStatus().partsWritten);
    size_t next = 0;
    for (const QByteArray& part : parts) {
        const auto at = std::find(jpegs.begin() + static_cast<std::ptrdiff_t>(next), jpegs.end(), part);
        ASSERT_NE(at, jpegs.end()) << "a part that is no later frame";
        next = static_cast<size_t>(at - jpegs.begin()) + 1;
    }
    ASSERT_TRUE(StopCamera(form));
}

TEST_F(StreamTest, WithTheStreamOffEveryAnswerKeepsItsBytes)
{
    struct Case {
        bool stream;
        const char* request;
        QByteArray answer;
    };
    const QImage frame = NoiseFrame(64, 48, 7);
    const QByteArray picture = PictureAnswer(EncodeJpeg(frame));
    const Case cases[] = {
        {false, "GET /stream.mjpg HTTP/1.1\r\n\r\n", kNotFound},
        {false, "GET /stream.mjpg HTTP/1.0\r\n\r\n", kNotFound},
        {false, "GET /stream.mjpg?fps=5 HTTP/1.1\r\n\r\n", kNotFound},
        {true, "GET /stream.mjpeg HTTP/1.1\r\n\r\n", kNotFound},
        {true, "HEAD /stream.mjpg?fps=5 HTTP/1.1\r\n\r\n", kHeader},
        {true, "GET /stream.mjpg HTTP/2.0\r\n\r\n", ""},
        {false, "GET /stream HTTP/1.1\r\n\r\n", kNotFound},
        {false, "GET /?action=stream HTTP/1.0\r\n\r\n", kNotFound},
        {false, "HEAD /?action=stream HTTP/1.1\r\n\r\n", kNotFound},
        {true, "HEAD /stream HTTP/1.0\r\n\r\n", kHeader},
        {true, "HEAD /?action=stream HTTP/1.1\r\n\r\n", kHeader},
        {true, "HEAD /?ACTION=Stream&t=9 HTTP/1.0\r\n\r\n", kHeader},
        {true, "GET /streams HTTP/1.1\r\n\r\n", kNotFound},
        {true, "GET /?action=snapshot HTTP/1.0\r\n\r\n", picture},
        {true, "GET /current.jpg HTTP/1.0\r\n\r\n", picture},
        {true, "GET /CURRENT.JPG HTTP/1.1\r\n\r\n", picture},
    };
    for (const bool stream : {false, true}) {
        CamForm& form = StartCamera(true, stream);
        ServeFrame(form, frame);
        for (const Case& c : cases) {
            if (c.stream != stream)
                continue;
            SCOPED_TRACE(c.request);
            EXPECT_EQ(Fetch(port_, c.request), c.answer);
        }
        EXPECT_EQ(form.session->Server().StreamStatus().partsWritten, 0);
        ASSERT_TRUE(StopCamera(form));
    }
}

TEST_F(StreamTest, ViewerThatDoesNotReadHoldsOnlyThePartInFlightAndTheNewestFrame)
{
    CamForm& form = StartCamera(true, true);
    auto stalled = OpenStream("GET /stream.mjpg HTTP/1.1\r\n\r\n", 4096);
    auto reading = OpenStream();
    ASSERT_TRUE(reading->ReadAtLeast(kHeader.size()));
    ASSERT_TRUE(WaitFor([&] { return form.session->Server().StreamStatus().streams == 2; }));

    // Frames far larger than what the system buffers for a viewer that
    // takes nothing.
    constexpr int kFrames = 12;
    std::vector<QByteArray> jpegs;
    QByteArray expected = kHeader;
    qsizetype largestPart = 0;
    for (uint32_t i = 0; i < kFrames; ++i) {
        const QImage frame = NoiseFrame(1024, 768, 100 + i);
        jpegs.push_back(EncodeJpeg(frame));
        const QByteArray part = Part(jpegs.back());
        largestPart = std::max(largestPart, part.size());
        expected += part;
        ServeFrame(form, frame);
        ASSERT_TRUE(reading->ReadAtLeast(expected.size())) << "frame " << i;
    }
    const auto status = form.session->Server().StreamStatus();
    // The server's own accounting: at no time did a connection hold more
    // than one part being sent and one frame waiting (and the header).
    EXPECT_LE(status.peakHeldBytes, 2 * largestPart + kHeader.size());
    EXPECT_LE(status.heldBytes, 2 * largestPart + kHeader.size());
    EXPECT_GE(status.peakHeldBytes, largestPart);
    // The system holds no more than the stream's small send buffer (32 KiB,
    // which it doubles) and one segment past it, not megabytes.
    EXPECT_GT(status.peakKernelBytes, 0);
    EXPECT_LE(status.peakKernelBytes, 128 * 1024);
    // The system buffers a few parts at most; later frames replaced one another.
    EXPECT_GE(status.framesReplaced, kFrames / 2);
    EXPECT_EQ(reading->Received(), expected);

    // Once it reads, the viewer gets what it had been sent, then the newest
    // frame, in the order of the frames.
    const QByteArray newest = Part(jpegs.back());
    while (!stalled->Received().endsWith(newest) && stalled->ReadAtLeast(stalled->Received().size() + 1)) {
    }
    const QByteArray got = stalled->Received();
    ASSERT_TRUE(got.startsWith(kHeader));
    ASSERT_TRUE(got.endsWith(newest));
    ASSERT_TRUE(StopCamera(form));
    ASSERT_TRUE(stalled->ReadToEnd());
    EXPECT_EQ(stalled->Received(), got + kEnd);
    const std::vector<QByteArray> parts = Parts(got.mid(kHeader.size()));
    ASSERT_GE(parts.size(), 2u);
    EXPECT_LE(parts.size(), static_cast<size_t>(kFrames) / 2 + 1);
    EXPECT_TRUE(parts.front() == jpegs.front());
    EXPECT_TRUE(parts.back() == jpegs.back());
    size_t next = 0;
    for (const QByteArray& part : parts) {
        const auto at = std::find(jpegs.begin() + static_cast<std::ptrdiff_t>(next), jpegs.end(), part);
        ASSERT_NE(at, jpegs.end()) << "a part that is no later frame";
        next = static_cast<size_t>(at - jpegs.begin()) + 1;
    }
}

TEST_F(StreamTest, StreamsCountAgainstTheBoundAndOneStalledForTheLimitIsClosed)
{
    CamForm& form = StartCamera(true, true);
    form.session->Server().SetMaxClients(2);
    auto waiting = OpenStream();
    auto stalled = OpenStream("GET /stream.mjpg HTTP/1.1\r\n\r\n", 4096);
    ASSERT_TRUE(WaitFor([&] { return form.session->Server().StreamStatus().streams == 2; }));
    RawClient turnedAway(port_);
    EXPECT_TRUE(turnedAway.ReadToEnd());
    EXPECT_TRUE(turnedAway.Received().isEmpty());

    // More than the system buffers for a viewer that takes nothing (4 MB at most).
    const QImage large = NoiseFrame(3200, 2400, 9);
    ServeFrame(form, large);
    QByteArray expected = kHeader + Part(EncodeJpeg(large));
    ASSERT_TRUE(waiting->ReadAtLeast(expected.size()));
    // The stalled viewer goes once it has taken nothing for 10 seconds; the
    // one that waits for the next frame, with nothing to take meanwhile,
    // stays well past the limit.
    SharedClock().Advance(9800);
    QTest::qWait(250);
    EXPECT_EQ(form.session->Server().StreamStatus().streams, 2);
    SharedClock().Advance(300);
    ASSERT_TRUE(WaitFor([&] { return form.session->Server().ClientCount() == 1; }));
    SharedClock().Advance(30000);
    QTest::qWait(250);
    EXPECT_EQ(form.session->Server().StreamStatus().streams, 1);
    const QImage small = NoiseFrame(64, 48, 10);
    ServeFrame(form, small);
    expected += Part(EncodeJpeg(small));
    ASSERT_TRUE(waiting->ReadAtLeast(expected.size()));
    EXPECT_EQ(waiting->Received(), expected);
    EXPECT_TRUE(stalled->ReadToEnd());
    EXPECT_LT(stalled->Received().size(), expected.size() - Part(EncodeJpeg(small)).size());
}

TEST_F(StreamTest, ViewersThatNeverReadMakeRoomAndGoAtTheStallLimit)
{
    // 64 viewers from 8 addresses send their request and never read: the
    // bound is full of them.
    CamForm& form = StartCamera(true, true);
    ServeFrame(form, NoiseFrame(1024, 768, 11));
    std::vector<std::unique_ptr<RawClient>> viewers;
    for (int i = 0; i < web::PictureServer::kMaxClients; ++i) {
        const QByteArray address = "127.0.3." + QByteArray::number(1 + i / 8);
        viewers.push_back(std::make_unique<RawClient>(port_, 4096, address.constData()));
        ASSERT_TRUE(viewers.back()->Send("GET /stream.mjpg HTTP/1.1\r\n\r\n"));
        ASSERT_TRUE(WaitFor([&] { return form.session->Server().StreamStatus().streams == i + 1; }));
    }
    // Each took the header and what its small buffer holds of the part,
    // then nothing; the system holds a little for each.
    ASSERT_TRUE(WaitFor([&] { return form.session->Server().StreamStatus().kernelBytes > 64 * 4096; }));
    EXPECT_LE(form.session->Server().StreamStatus().peakKernelBytes, 128 * 1024);
    const QImage small = NoiseFrame(64, 48, 12);
    const auto fetch = [&] {
        RawClient client(port_, 0, "127.0.0.9");
        EXPECT_TRUE(client.Send("GET /current.jpg HTTP/1.1\r\n\r\n"));
        EXPECT_TRUE(client.ReadToEnd());
        return client.Received();
    };
    // A client from a ninth address: a viewer that has taken nothing for a
    // second makes room.
    SharedClock().Advance(1000);
    ServeFrame(form, small);
    EXPECT_EQ(fetch(), PictureAnswer(EncodeJpeg(small)));
    EXPECT_EQ(form.session->Server().StreamStatus().stalledClosed, 1);
    // The others go once they have taken nothing for the stall limit.
    SharedClock().Advance(8800);
    QTest::qWait(250);
    EXPECT_EQ(form.session->Server().StreamStatus().streams, web::PictureServer::kMaxClients - 1);
    SharedClock().Advance(300);
    ASSERT_TRUE(WaitFor([&] { return form.session->Server().ClientCount() == 0; }));
    EXPECT_EQ(form.session->Server().StreamStatus().stalledClosed, web::PictureServer::kMaxClients);
    for (auto& viewer : viewers) {
        EXPECT_TRUE(viewer->ReadToEnd());
        EXPECT_TRUE(viewer->Received().startsWith(kHeader));
    }
    EXPECT_EQ(fetch(), PictureAnswer(EncodeJpeg(small)));
}

TEST_F(StreamTest, FfprobeReadsTheStreamAsMjpeg)
{
    const QString ffprobe = QStandardPaths::findExecutable(QStringLiteral("ffprobe"));
    ASSERT_FALSE(ffprobe.isEmpty()) << "ffprobe is needed (packaging/install-deps.sh installs it)";
    CamForm& form = StartCamera(true, true);
    auto viewer = OpenStream();
    QByteArray expected = kHeader;
    for (uint32_t n = 1; n <= 4; ++n) {
        const QImage frame = CameraFrame(320, 240, n);
        ServeFrame(form, frame);
        expected += Part(EncodeJpeg(frame));
        ASSERT_TRUE(viewer->ReadAtLeast(expected.size()));
    }
    ASSERT_TRUE(StopCamera(form));
    ASSERT_TRUE(viewer->ReadToEnd());

    QTemporaryDir dir;
    const QString body = dir.filePath(QStringLiteral("stream.mjpg"));
    QFile file(body);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(viewer->Received().mid(kHeader.size()));
    file.close();
    QProcess probe;
    probe.start(ffprobe, {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"), QStringLiteral("mpjpeg"),
                          QStringLiteral("-count_frames"), QStringLiteral("-show_entries"),
                          QStringLiteral("stream=codec_name,width,height,nb_read_frames"), QStringLiteral("-of"),
                          QStringLiteral("default=noprint_wrappers=1"), body});
    ASSERT_TRUE(probe.waitForFinished(60000));
    EXPECT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
    EXPECT_EQ(QString::fromLatin1(probe.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
              (QStringList{QStringLiteral("codec_name=mjpeg"), QStringLiteral("width=320"),
                           QStringLiteral("height=240"), QStringLiteral("nb_read_frames=4")}));
}

TEST_F(StreamTest, ChromiumShowsTheStreamInAnImage)
{
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (chromium.isEmpty())
        GTEST_SKIP() << "chromium is not installed (packaging/install-deps.sh installs it for the tests)";
    CamForm& form = StartCamera(true, true);
    const QImage frame = CameraFrame(320, 240, 5);
    ServeFrame(form, frame);
    const auto partsWritten = [&form] { return form.session->Server().StreamStatus().partsWritten; };

    QTemporaryDir dir;
    const QString page = dir.filePath(QStringLiteral("viewer.html"));
    QFile file(page);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("<html><body style=\"margin:0;background:black\">"
                              "<img src=\"http://127.0.0.1:%1/stream.mjpg\"></body></html>\n")
                   .arg(port_)
                   .toUtf8());
    file.close();
    const QString shot = dir.filePath(QStringLiteral("viewer.png"));
    QProcess browser;
    browser.setProcessChannelMode(QProcess::MergedChannels);
    browser.start(chromium, {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
                             QStringLiteral("--disable-gpu"), QStringLiteral("--no-first-run"), QStringLiteral("--disable-background-networking"),
                             QStringLiteral("--disable-component-update"), QStringLiteral("--disable-sync"),
                             QStringLiteral("--hide-scrollbars"),
                             QStringLiteral("--user-data-dir=") + dir.filePath(QStringLiteral("chromium")),
                             QStringLiteral("--screenshot=") + shot, QStringLiteral("--window-size=480,360"),
                             QUrl::fromLocalFile(page).toString()});
    // The server lives on this thread's event loop: it turns while Chromium
    // works. A browser takes a part for complete when the next one begins:
    // a second frame, a copy of the first, ends the loading of the page.
    ASSERT_TRUE(QTest::qWaitFor([&] { return partsWritten() == 1 || browser.state() == QProcess::NotRunning; }, 60000));
    ServeFrame(form, frame.copy());
    ASSERT_TRUE(QTest::qWaitFor([&] { return browser.state() == QProcess::NotRunning; }, 120000));
    const QImage screenshot(shot);
    ASSERT_FALSE(screenshot.isNull()) << "no screenshot; chromium said: " << browser.readAll().toStdString();
    EXPECT_EQ(partsWritten(), 2);

    // The image at the page's top-left corner is the frame as its JPEG
    // decodes, on the black page.
    const QByteArray jpeg = EncodeJpeg(frame);
    QImage sent;
    ASSERT_TRUE(
        DecodeJpeg(reinterpret_cast<const uint8_t*>(jpeg.constData()), static_cast<size_t>(jpeg.size()), &sent));
    const QImage shown = screenshot.convertToFormat(QImage::Format_RGB888);
    long long difference = 0;
    for (int y = 0; y < sent.height(); ++y) {
        const uchar* a = shown.constScanLine(y);
        const uchar* b = sent.constScanLine(y);
        for (int x = 0; x < sent.width() * 3; ++x)
            difference += std::abs(a[x] - b[x]);
    }
    EXPECT_LT(static_cast<double>(difference) / (sent.width() * sent.height() * 3), 4.0);
    for (const QPoint outside : {QPoint(400, 100), QPoint(100, 300), QPoint(470, 350)})
        EXPECT_EQ(shown.pixelColor(outside), QColor(Qt::black)) << outside.x() << "," << outside.y();
}

}  // namespace
}  // namespace orv::test
