// The main window's picture web server over real loopback connections, with
// a stand-in web camera and a frame set by the test: the answers byte for
// byte, when the server listens, opening and closing, and the safeguards
// against clients that never finish and against floods.

#include "CameraServer.h"

#include "capture/Jpeg.h"
#include "RawClient.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>

#include <memory>
#include <string_view>
#include <vector>

namespace orv::test {
namespace {

using namespace std::chrono_literals;
using namespace std::string_view_literals;

const QByteArray kPageHeader = "HTTP/1.1 200 OK\nServer: Orvello 2.0\nContent-type: text/html\n\r\n";
const QByteArray kStyleSheetHeader = "HTTP/1.1 200 OK\nServer: Orvello 2.0\nContent-type: text/css\n\r\n";
const QByteArray kPictureHeader = "HTTP/1.1 200 OK\nServer: Orvello 2.0\nContent-type: image/jpeg\n\r\n";
const QByteArray kNotFound = "HTTP/1.1 404 File not found\n";

// The page in Windows-1251 (0xAE is the registered sign), with the Help
// menu's addresses.
QByteArray ExpectedPage()
{
    return QByteArray("  <html>\n"
                      "  <head>\n"
                      "  <meta http-equiv=Content-Type content=\"text/html; charset=windows-1251\">\n"
                      "  <meta http-equiv=Pragma content=\"no-cache\">\n"
                      "  <meta http-equiv=Refresh content=\"10\">\n"
                      "  <title>Orvello \xAE for Win9X/Me/NT/2000/XP</title>\n"
                      "  <LINK href=\"style.css\" type=text/css rel=stylesheet>\n"
                      "  </head>\n"
                      "  <body bgcolor=\"black\">\n"
                      "  <table width=95% align=center cellpadding=2 cellspacing=2 border=0>\n"
                      "  <tr><td align=center><center>\n"
                      "  <img src=\"current.jpg\">\n"
                      "  </td></tr></table>\n"
                      "  <hr width=95%><p align=center><a href=\"") +
           kWebSite + "\">Orvello Home Page</a><br>\n  <a href=\"mailto:" + kAuthorMail + "\">[email: " + kAuthorMail +
           "]</a></p><br></body>\n"
           "  </html>\n";
}

const QByteArray kStyleSheet =
    "  body  {  font-family: Verdana, Tahoma, Helvetica, Arial, sans-serif, \"Arial Cyr\"; font-size: 11px; color: "
    "#222222;  scrollbar-face-color: #E8E8FF;  scrollbar-highlight-color: #CCCCCC;  scrollbar-shadow-color: #CCCCCC;  "
    "scrollbar-3dlight-color: #CCCCCC;  scrollbar-arrow-color: #888888;  scrollbar-track-color: #E8E8FF;  "
    "scrollbar-darkshadow-color: #CCCCCC  }  p {color: #000000; font-size: 11px; font-weight: bold; font-family: "
    "sans-serif, sans-serif}  ul {color: #000000; font-size: 11px; font-weight: bold; font-family: sans-serif, "
    "sans-serif}  a:link {font-size: 11px; color: #6060B0; font-weight: normal; text-decoration: none}  a:visited "
    "{font-size: 11px; color: #6060B0; font-weight: normal; text-decoration: none}  a:active {font-size: 11px; color: "
    "#6060B0; font-weight: normal; text-decoration: none}  a:hover {font-size: 11px; color: #000000; font-weight: "
    "normal; text-decoration: none}  ";

// A frame with detail everywhere; noise makes a large JPEG.
QImage Frame(int width, int height, bool noise = false)
{
    QImage frame(width, height, QImage::Format_RGB888);
    uint32_t seed = 12345;
    for (int y = 0; y < height; ++y) {
        uchar* row = frame.scanLine(y);
        for (int x = 0; x < width * 3; ++x) {
            seed = seed * 1664525u + 1013904223u;
            row[x] = noise ? static_cast<uchar>(seed >> 24) : static_cast<uchar>((x + 2 * y) & 0xFF);
        }
    }
    return frame;
}

// One connection: sends the request and reads until the server ends it.
struct Exchange {
    QByteArray received;
    bool ended = false;
};

Exchange Fetch(int port, const QByteArray& request)
{
    RawClient client(port);
    EXPECT_TRUE(client.Connected());
    EXPECT_TRUE(client.Send(request));
    Exchange exchange;
    exchange.ended = client.ReadToEnd();
    exchange.received = client.Received();
    return exchange;
}

class WebServerTest : public CameraServerTest {};

TEST_F(WebServerTest, AnswersEachRequestByteForByteAndCloses)
{
    CamForm& form = StartCamera();
    form.CurrentFrame = Frame(64, 48);
    const QByteArray picture = kPictureHeader + EncodeJpeg(form.CurrentFrame);
    const QByteArray page = kPageHeader + ExpectedPage();
    const QByteArray sheet = kStyleSheetHeader + kStyleSheet;
    struct Case {
        const char* name;
        std::string_view request;
        QByteArray answer;
    };
    const Case cases[] = {
        {"page", "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n", page},
        {"lower case", "get / http/1.1\r\n\r\n", page},
        {"leading empty lines", "\r\n\r\nGET / HTTP/1.1\r\n\r\n", page},
        {"style sheet", "GET /style.css HTTP/1.1\r\n\r\n", sheet},
        {"picture, any case", "GET /Current.Jpg HTTP/1.1\r\n\r\n", picture},
        {"query part", "GET /current.jpg?t=1 HTTP/1.1\r\n\r\n", kNotFound},
        {"other path", "GET /index.html HTTP/1.1\r\n\r\n", kNotFound},
        {"quoted path", "GET \"/ \" HTTP/1.1\r\n\r\n", kNotFound},
        {"HTTP/1.0", "GET / HTTP/1.0\r\n\r\n", ""},
        {"HEAD", "HEAD / HTTP/1.1\r\n\r\n", ""},
        {"POST", "POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", ""},
        {"two words", "GET /\r\n\r\n", ""},
        {"NUL ends the text", "GET /\0 HTTP/1.1\r\n\r\n"sv, ""},
        {"second request", "GET /style.css HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\n\r\n", sheet},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Exchange exchange =
            Fetch(port_, QByteArray(c.request.data(), static_cast<qsizetype>(c.request.size())));
        EXPECT_TRUE(exchange.ended);
        EXPECT_EQ(exchange.received, c.answer);
    }
    // The fixed answers' sizes: 62 + 680 bytes of page, 61 + 899 of style
    // sheet, 28 of not-found.
    EXPECT_EQ(page.size(), 742);
    EXPECT_EQ(sheet.size(), 960);
    EXPECT_EQ(kNotFound.size(), 28);
}

TEST_F(WebServerTest, PictureFollowsEveryChangeOfTheFrameAndIsEncodedOncePerFrame)
{
    CamForm& form = StartCamera();
    const QByteArray request = "GET /CURRENT.JPG HTTP/1.1\r\n\r\n";
    // No frame yet: the header alone.
    EXPECT_EQ(Fetch(port_, request).received, kPictureHeader);

    form.CurrentFrame = Frame(320, 240);
    const QByteArray first = EncodeJpeg(form.CurrentFrame);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Fetch(port_, request).received, kPictureHeader + first);
    EXPECT_EQ(form.ServerSocket1->EncodingCount(), 1);

    // Written in place: the next answer is the new picture.
    form.CurrentFrame.setPixelColor(10, 10, Qt::red);
    const QByteArray second = EncodeJpeg(form.CurrentFrame);
    ASSERT_NE(second, first);
    EXPECT_EQ(Fetch(port_, request).received, kPictureHeader + second);
    EXPECT_EQ(form.ServerSocket1->EncodingCount(), 2);

    form.CurrentFrame = QImage();
    EXPECT_EQ(Fetch(port_, request).received, kPictureHeader);
}

TEST_F(WebServerTest, ListensOnlyWhileACameraStartedWithTheServerOnRuns)
{
    struct Case {
        bool serverEnabled;
        bool start;
        bool listens;
    };
    for (const Case c : {Case{true, false, false}, Case{false, true, false}, Case{true, true, true}}) {
        SCOPED_TRACE(testing::Message() << "server " << c.serverEnabled << ", started " << c.start);
        Settings().SetAutoPhoneConnect(false);
        Settings().SetServerEnabled(c.serverEnabled);
        const int port = FreePort();
        Settings().SetServerPort(port);
        CamForm& form = MakeForm<CamForm>();
        if (c.start)
            form.Web1Click();
        EXPECT_EQ(RawClient(port).Connected(), c.listens);
        EXPECT_EQ(form.ServerSocket1->isListening(), c.listens);
        EXPECT_EQ(form.CamThread != nullptr, c.start);
        if (form.CamThread) {
            ASSERT_TRUE(StopCamera(form));
            EXPECT_FALSE(RawClient(port).Connected());
        }
    }
}

TEST_F(WebServerTest, EndOfTheCameraClosesTheListenerAndEveryConnection)
{
    CamForm& form = StartCamera();
    form.CurrentFrame = Frame(1024, 768, true);
    RawClient silent(port_);
    RawClient notReading(port_, 4096);
    ASSERT_TRUE(notReading.Send("GET /current.jpg HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(WaitFor([&] { return form.ServerSocket1->ClientCount() == 2; }));
    QTest::qWait(50);

    ASSERT_TRUE(StopCamera(form));
    EXPECT_EQ(form.ServerSocket1->ClientCount(), 0);
    EXPECT_TRUE(silent.ReadToEnd());
    EXPECT_TRUE(silent.Received().isEmpty());
    EXPECT_TRUE(notReading.ReadToEnd());
    EXPECT_FALSE(RawClient(port_).Connected());
}

TEST_F(WebServerTest, PortThatCannotBeOpenedShowsTheSocketErrorAndStartsNoCamera)
{
    Settings().SetAutoPhoneConnect(false);
    Settings().SetServerEnabled(true);
    const int busyPort = FreePort();
    QTcpServer squatter;
    ASSERT_TRUE(squatter.listen(QHostAddress::Any, static_cast<quint16>(busyPort)));
    CamForm& form = MakeForm<CamForm>();
    struct Case {
        int port;
        const char* message;
    };
    const Case cases[] = {
        {busyPort, "Windows socket error: Address already in use (98), on API 'bind'"},
        {0, "Windows socket error: port 0 is outside 1..65535 (22), on API 'bind'"},
        {65536, "Windows socket error: port 65536 is outside 1..65535 (22), on API 'bind'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        SharedDialogs().Clear();
        Settings().SetServerPort(c.port);
        form.Web1Click();
        EXPECT_EQ(form.CamThread, nullptr);
        EXPECT_EQ(form.camThreadsMade, 0);
        EXPECT_TRUE(form.Web1->isVisible());
        EXPECT_FALSE(form.Web2->isVisible());
        EXPECT_FALSE(form.ServerSocket1->isListening());
        ASSERT_EQ(SharedDialogs().Messages().size(), 1u);
        EXPECT_EQ(SharedDialogs().Messages()[0].text, QString::fromLatin1(c.message));
        EXPECT_EQ(SharedDialogs().Messages()[0].kind, MessageKind::Error);
    }
}

// A picture larger than what the system buffers on a loopback connection
// (4 MB at most), so that part of it waits in the server.
QImage LargeFrame() { return Frame(3200, 2400, true); }

TEST_F(WebServerTest, LargePictureReachesASlowReaderWhole)
{
    CamForm& form = StartCamera();
    // Taking bytes counts as progress: the whole transfer outlasts the limit.
    form.ServerSocket1->SetIdleLimit(500ms);
    form.CurrentFrame = LargeFrame();
    const QByteArray expected = kPictureHeader + EncodeJpeg(form.CurrentFrame);
    ASSERT_GT(expected.size(), 6000000);

    RawClient client(port_, 64 * 1024);
    ASSERT_TRUE(client.Send("GET /CURRENT.JPG HTTP/1.1\r\n\r\n"));
    QTest::qWait(100);
    QElapsedTimer reading;
    reading.start();
    EXPECT_TRUE(client.ReadToEnd(32 * 1024, 5ms));
    EXPECT_GT(reading.elapsed(), 500);
    EXPECT_FALSE(client.WasReset());
    EXPECT_EQ(client.Received().size(), expected.size());
    EXPECT_TRUE(client.Received() == expected);
}

TEST_F(WebServerTest, ClientsThatNeverFinishAreClosedAfterTheIdleLimit)
{
    CamForm& form = StartCamera();
    form.ServerSocket1->SetIdleLimit(50ms);
    form.CurrentFrame = LargeFrame();
    const qsizetype answerSize = kPictureHeader.size() + EncodeJpeg(form.CurrentFrame).size();

    RawClient silent(port_);
    RawClient oneByte(port_);
    ASSERT_TRUE(oneByte.Send("G"));
    RawClient neverReads(port_, 4096);
    ASSERT_TRUE(neverReads.Send("GET /CURRENT.JPG HTTP/1.1\r\n\r\n"));
    // The last client's request has been taken, so all three were accepted.
    ASSERT_TRUE(WaitFor([&] { return form.ServerSocket1->EncodingCount() == 1; }));
    ASSERT_TRUE(WaitFor([&] { return form.ServerSocket1->ClientCount() == 0; }));

    for (RawClient* client : {&silent, &oneByte}) {
        EXPECT_TRUE(client->ReadToEnd());
        EXPECT_TRUE(client->Received().isEmpty());
    }
    EXPECT_TRUE(neverReads.ReadToEnd());
    EXPECT_LT(neverReads.Received().size(), answerSize);
}

TEST_F(WebServerTest, ConnectionsBeyondTheBoundAreClosedAtOnce)
{
    CamForm& form = StartCamera();
    constexpr int kBound = 64;
    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < kBound; ++i) {
        held.push_back(std::make_unique<RawClient>(port_));
        ASSERT_TRUE(WaitFor([&] { return form.ServerSocket1->ClientCount() == i + 1; }));
    }
    for (int i = 0; i < 16; ++i) {
        RawClient turnedAway(port_);
        EXPECT_TRUE(turnedAway.Connected());
        EXPECT_TRUE(turnedAway.ReadToEnd());
        EXPECT_TRUE(turnedAway.Received().isEmpty());
    }
    EXPECT_EQ(form.ServerSocket1->ClientCount(), kBound);

    // A place that comes free is served again.
    held.front()->Close();
    ASSERT_TRUE(WaitFor([&] { return form.ServerSocket1->ClientCount() == kBound - 1; }));
    EXPECT_EQ(Fetch(port_, "GET / HTTP/1.1\r\n\r\n").received, kPageHeader + ExpectedPage());
}

}  // namespace
}  // namespace orv::test
