// The encoder catalogue and the compressor: what is listed and in which
// order, and recordings read back from the file by other means (the header
// bytes, libavformat, libavcodec, ffprobe).

#include "video/CodecCatalogue.h"
#include "video/AviFile.h"
#include "tests/support/TestEnv.h"
#include "VideoTestKit.h"

#include <QFile>
#include <QStringList>

#include <gtest/gtest.h>

#include <set>

#include <cmath>
#include <limits>
#include <memory>

namespace orv::video {
namespace {

using test::Fourcc;

QString FreshPath(const QString& name)
{
    static int counter = 0;
    const QString path = test::TempFolder() + QStringLiteral("/%1-%2.avi").arg(name).arg(++counter);
    QFile::remove(path);
    return path;
}

CodecCatalogue& Catalogue()
{
    static CodecCatalogue codecs;
    return codecs;
}

QString OptionValue(const CodecCatalogue& codecs, int index, const char* name)
{
    for (const CodecOption& option : codecs.Options(index)) {
        if (option.name == QLatin1String(name))
            return option.value;
    }
    return QStringLiteral("(absent)");
}

// Every option of the entry as "name = value".
QStringList Values(const CodecCatalogue& codecs, int index)
{
    QStringList values;
    for (const CodecOption& option : codecs.Options(index))
        values << option.name + QStringLiteral(" = ") + option.value;
    return values;
}

int IndexOf(const char* encoder)
{
    const int index = Catalogue().IndexOf(QString::fromLatin1(encoder));
    EXPECT_GE(index, 0) << encoder << " is not listed";
    return index;
}

// Records the pictures with the encoder of the catalogue, completing the file.
QString Record(const char* encoder, const std::vector<QImage>& pictures, double framesPerSecond,
               CodecCatalogue& codecs = Catalogue())
{
    const QString path = FreshPath(QString::fromLatin1(encoder));
    QString error;
    std::unique_ptr<AviFile> file = AviFile::Open(path, &error);
    EXPECT_TRUE(file) << error.toStdString();
    if (!file)
        return path;
    FrameEncoder compressor(codecs.Handle(codecs.IndexOf(QString::fromLatin1(encoder))));
    for (const QImage& picture : pictures) {
        EXPECT_TRUE(compressor.StartStream(*file, picture, framesPerSecond)) << compressor.LastError().toStdString();
        EXPECT_TRUE(compressor.CompressFrame(picture)) << compressor.LastError().toStdString();
    }
    file.reset();
    return path;
}

std::vector<QImage> MovingPictures(int count, int width = 320, int height = 240)
{
    std::vector<QImage> pictures;
    for (int i = 0; i < count; ++i)
        pictures.push_back(test::MovingPicture(width, height, i));
    return pictures;
}

QStringList Names(const CodecCatalogue& codecs)
{
    QStringList names;
    for (int i = 0; i < codecs.Count(); ++i)
        names << codecs.EncoderName(i);
    return names;
}

TEST(Catalogue, ListsTheUsefulEncodersFirstAndTheRestByNameInEveryRun)
{
    const CodecCatalogue first;
    const CodecCatalogue second;
    const QStringList names = Names(first);
    EXPECT_EQ(names, Names(second));
    ASSERT_GE(names.size(), 10);
    EXPECT_LE(names.size(), CodecCatalogue::kCapacity);
    EXPECT_EQ(names.mid(0, 10), QStringList({"mjpeg", "mpeg4", "libxvid", "libx264", "huffyuv", "ffvhuff", "ffv1",
                                             "utvideo", "magicyuv", "rawvideo"}));
    EXPECT_EQ(first.GetName(0), QStringLiteral("MJPEG (Motion JPEG)"));
    QStringList rest = names.mid(10);
    QStringList sorted = rest;
    std::sort(sorted.begin(), sorted.end(), [](const QString& a, const QString& b) { return a.toUtf8() < b.toUtf8(); });
    EXPECT_EQ(rest, sorted);
    // Fixed sizes or rates only, hardware, or not writable into AVI.
    for (const char* absent : {"dvvideo", "h261", "h263", "mpeg1video", "libaom-av1", "h264_vaapi", "h264_v4l2m2m",
                               "h264_nvenc", "mpeg4_omx", "libx265", "gif"})
        EXPECT_FALSE(names.contains(QLatin1String(absent))) << absent;
    EXPECT_EQ(first.GetName(first.Count()), QString());
    EXPECT_EQ(first.Handle(-1), nullptr);
}

// The list a newcomer chooses from: the encoders for a slow camera first
// under plain names, then the rest by name; a format under a second name and
// still-picture encoders left out unless stored; every line names its
// catalogue position, which a stored "CodecIndex" keeps meaning.
TEST(Catalogue, ListingPutsPlainNamesFirstAndKeepsCataloguePositions)
{
    const CodecCatalogue codecs;
    using Kind = CodecCatalogue::Listed::Kind;
    const std::vector<CodecCatalogue::Listed> listing = codecs.Listing();
    const struct {
        const char* encoder;
        const char* name;
        Kind kind;
    } first[] = {
        {"mjpeg", "Motion JPEG", Kind::Plain},   {"libx264", "H.264 (x264)", Kind::Plain},
        {"mpeg4", "MPEG-4 Part 2", Kind::Plain}, {"ffv1", "FFV1", Kind::Lossless},
        {"huffyuv", "Huffyuv", Kind::Lossless},  {"rawvideo", "", Kind::Uncompressed},
    };
    ASSERT_GT(listing.size(), std::size(first));
    for (size_t i = 0; i < std::size(first); ++i) {
        EXPECT_EQ(listing[i].index, codecs.IndexOf(QLatin1String(first[i].encoder))) << first[i].encoder;
        EXPECT_EQ(listing[i].name, QString::fromUtf8(first[i].name)) << first[i].encoder;
        EXPECT_EQ(listing[i].kind, first[i].kind) << first[i].encoder;
    }
    // The catalogue itself keeps its order: Motion JPEG stays position 0.
    EXPECT_EQ(listing[0].index, 0);
    std::set<int> positions;
    QStringList names;
    for (const CodecCatalogue::Listed& listed : listing) {
        EXPECT_TRUE(positions.insert(listed.index).second) << listed.index;
        EXPECT_GE(listed.index, 0);
        EXPECT_LT(listed.index, codecs.Count());
        names << codecs.EncoderName(listed.index);
    }
    for (const char* absent : {"libxvid", "libx264rgb", "ffvhuff", "png", "bmp", "tiff", "targa", "jpegls", "ljpeg",
                               "jpeg2000", "pam", "ppm", "sgi"})
        EXPECT_FALSE(names.contains(QLatin1String(absent))) << absent;
    // The rest in the order of their names.
    QStringList rest;
    for (size_t i = std::size(first); i < listing.size(); ++i)
        rest << listing[i].name;
    QStringList sorted = rest;
    std::sort(sorted.begin(), sorted.end(), [](const QString& a, const QString& b) {
        return a.compare(b, Qt::CaseInsensitive) < 0;
    });
    EXPECT_EQ(rest, sorted);
    // A stored choice that the list leaves out is still offered.
    for (const char* stored : {"libxvid", "png"}) {
        const int index = codecs.IndexOf(QLatin1String(stored));
        if (index < 0)
            continue;
        const std::vector<CodecCatalogue::Listed> keeping = codecs.Listing(index);
        EXPECT_EQ(std::count_if(keeping.begin(), keeping.end(), [&](const auto& l) { return l.index == index; }), 1)
            << stored;
        EXPECT_EQ(keeping.size(), listing.size() + 1) << stored;
    }
}

struct RecordingCase {
    const char* encoder;
    double framesPerSecond;
    int frames;
    uint32_t fourcc;
    uint32_t rate;            // over a scale of 10000
    const char* averageRate;  // as ffprobe reduces it
    std::vector<bool> keyFrames;
    double tolerance;  // mean channel difference from the pictures recorded
};

class Recordings : public ::testing::TestWithParam<RecordingCase> {};

TEST_P(Recordings, ReadBackWithTheirHeaderSamplesAndPictures)
{
    const RecordingCase& c = GetParam();
    const std::vector<QImage> pictures = MovingPictures(c.frames);
    const QString path = Record(c.encoder, pictures, c.framesPerSecond);

    const test::StreamHeaderBytes header = test::ReadStreamHeader(path);
    ASSERT_TRUE(header.found);
    EXPECT_EQ(header.type, QByteArray("vids"));
    EXPECT_EQ(header.handler, c.fourcc);
    EXPECT_EQ(header.scale, 10000u);
    EXPECT_EQ(header.rate, c.rate);
    EXPECT_EQ(header.quality, 10000u);
    EXPECT_EQ(header.length, uint32_t(c.frames));
    EXPECT_EQ(header.frame[0], 0);
    EXPECT_EQ(header.frame[1], 0);
    EXPECT_EQ(header.frame[2], 320);
    EXPECT_EQ(header.frame[3], 240);

    const test::DemuxedVideo video = test::Demux(path);
    ASSERT_TRUE(video.opened);
    EXPECT_EQ(video.width, 320);
    EXPECT_EQ(video.height, 240);
    EXPECT_EQ(video.tag, c.fourcc);
    EXPECT_EQ(video.keyFrames, c.keyFrames);

    const auto probe = test::Ffprobe(path);
    EXPECT_EQ(probe.value("exit"), "0") << probe.value("stderr").toStdString();
    EXPECT_EQ(probe.value("nb_read_frames"), QString::number(c.frames));
    EXPECT_EQ(probe.value("avg_frame_rate"), QLatin1String(c.averageRate));

    const std::vector<QImage> decoded = test::DecodeFrames(path);
    ASSERT_EQ(decoded.size(), pictures.size());
    for (size_t i = 0; i < decoded.size(); ++i)
        EXPECT_LE(test::MeanDifference(decoded[i], pictures[i]), c.tolerance) << "frame " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, Recordings,
    ::testing::Values(RecordingCase{"mjpeg", 0.8, 4, Fourcc("MJPG"), 8000, "4/5", {true, true, true, true}, 2.5},
                      RecordingCase{
                          "mpeg4", 1 / 1.5, 4, Fourcc("FMP4"), 6666, "3333/5000", {true, false, false, false}, 2.5},
                      // A key frame every 10 frames.
                      RecordingCase{"libx264",
                                    0.6667,
                                    12,
                                    Fourcc("H264"),
                                    6667,
                                    "6667/10000",
                                    {true, false, false, false, false, false, false, false, false, false, true, false},
                                    2.5},
                      RecordingCase{"huffyuv", 25.0, 3, Fourcc("HFYU"), 250000, "25/1", {true, true, true}, 0},
                      // Ut Video chooses its FourCC by the pixel format it is fed.
                      RecordingCase{"utvideo", 2.0, 3, Fourcc("ULRG"), 20000, "2/1", {true, true, true}, 0},
                      RecordingCase{"rawvideo", 1.0, 3, 0, 10000, "1/1", {true, true, true}, 0}),
    [](const ::testing::TestParamInfo<RecordingCase>& param) { return std::string(param.param.encoder); });

TEST(Recordings, RedStaysRedInEveryColourModel)
{
    QImage red(64, 48, QImage::Format_RGB888);
    red.fill(QColor(230, 20, 10));
    for (const char* encoder : {"rawvideo", "huffyuv", "ffv1", "utvideo", "mjpeg", "libx264"}) {
        const std::vector<QImage> decoded = test::DecodeFrames(Record(encoder, {red, red}, 1.0));
        ASSERT_EQ(decoded.size(), 2u) << encoder;
        const test::MeanColour mean = test::Mean(decoded[1], QRect(8, 8, 48, 32));
        EXPECT_NEAR(mean.red, 230, 4) << encoder;
        EXPECT_NEAR(mean.green, 20, 4) << encoder;
        EXPECT_NEAR(mean.blue, 10, 4) << encoder;
    }
}

TEST(Compressor, StartsTheStreamOnceAndScalesFramesOfAnotherSize)
{
    const QString path = FreshPath(QStringLiteral("once"));
    std::unique_ptr<AviFile> file = AviFile::Open(path);
    ASSERT_TRUE(file);
    QImage red(320, 240, QImage::Format_RGB888);
    red.fill(Qt::red);
    QImage blue(640, 480, QImage::Format_RGB32);
    blue.fill(Qt::blue);
    FrameEncoder compressor(Catalogue().Handle(IndexOf("huffyuv")));
    ASSERT_TRUE(compressor.StartStream(*file, red, 0.8));
    ASSERT_TRUE(compressor.CompressFrame(red));
    // Another size, another rate: ignored.
    ASSERT_TRUE(compressor.StartStream(*file, blue, 5.0));
    ASSERT_TRUE(compressor.CompressFrame(blue));
    file.reset();

    const test::StreamHeaderBytes header = test::ReadStreamHeader(path);
    EXPECT_EQ(header.rate, 8000u);
    EXPECT_EQ(header.frame[2], 320);
    EXPECT_EQ(header.frame[3], 240);
    const std::vector<QImage> decoded = test::DecodeFrames(path);
    ASSERT_EQ(decoded.size(), 2u);
    EXPECT_EQ(decoded[1].size(), QSize(320, 240));
    const test::MeanColour mean = test::Mean(decoded[1], decoded[1].rect());
    EXPECT_LT(mean.red, 2);
    EXPECT_GT(mean.blue, 253);
}

TEST(Compressor, RatesThatAreNoNumberOrNotPositiveRecordAtOneFramePerSecond)
{
    struct Case {
        double framesPerSecond;
        uint32_t rate;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    for (const Case& c : {Case{nan, 10000}, Case{0.0, 10000}, Case{-2.5, 10000}, Case{infinity, 10000},
                          Case{-infinity, 10000}, Case{0.00001, 1}, Case{5000.0, 10000000}}) {
        QImage picture(32, 32, QImage::Format_RGB888);
        picture.fill(Qt::gray);
        const QString path = Record("mjpeg", {picture}, c.framesPerSecond);
        EXPECT_EQ(test::ReadStreamHeader(path).rate, c.rate) << c.framesPerSecond;
        EXPECT_EQ(test::Ffprobe(path).value("nb_read_frames"), "1") << c.framesPerSecond;
    }
}

TEST(Compressor, OddSizesLoseTheColumnsAndRowsThatDoNotFillAChromaSampleOrAnEncodersBlock)
{
    struct Case {
        const char* encoder;
        int fromWidth, fromHeight;
        int width, height;
    };
    for (const Case& c : {Case{"libx264", 321, 241, 320, 240}, Case{"mjpeg", 321, 241, 320, 240},
                          Case{"rawvideo", 321, 241, 321, 241}, Case{"cinepak", 331, 243, 328, 240},
                          Case{"msvideo1", 331, 243, 328, 240}, Case{"h263p", 331, 243, 328, 240},
                          Case{"cfhd", 331, 243, 320, 243}, Case{"speedhq", 331, 243, 328, 243},
                          Case{"amv", 331, 243, 330, 240}, Case{"v308", 331, 243, 330, 243},
                          Case{"v410", 331, 243, 330, 243}}) {
        const QString path = Record(c.encoder, {test::MovingPicture(c.fromWidth, c.fromHeight, 0)}, 1.0);
        const test::StreamHeaderBytes header = test::ReadStreamHeader(path);
        EXPECT_EQ(header.frame[2], c.width) << c.encoder;
        EXPECT_EQ(header.frame[3], c.height) << c.encoder;
        const auto probe = test::Ffprobe(path);
        EXPECT_EQ(probe.value("nb_read_frames"), "1") << c.encoder << " " << probe.value("stderr").toStdString();
    }
}

TEST(Compressor, EveryFrameIsInTheFileAsSoonAsItIsCompressed)
{
    for (const char* encoder : {"mjpeg", "libx264"}) {
        const QString path = FreshPath(QString::fromLatin1(encoder));
        std::unique_ptr<AviFile> file = AviFile::Open(path);
        ASSERT_TRUE(file);
        FrameEncoder compressor(Catalogue().Handle(IndexOf(encoder)));
        for (int i = 0; i < 3; ++i) {
            const QImage picture = test::MovingPicture(160, 120, i);
            ASSERT_TRUE(compressor.StartStream(*file, picture, 1.0));
            ASSERT_TRUE(compressor.CompressFrame(picture));
            EXPECT_EQ(test::Ffprobe(path).value("nb_read_frames"), QString::number(i + 1)) << encoder;
        }
    }
}

TEST(Compressor, AnEncoderThatHoldsFramesBackGivesThemUpWhicheverEndsFirst)
{
    CodecCatalogue codecs;
    const int index = codecs.IndexOf(QStringLiteral("libx264"));
    ASSERT_GE(index, 0);
    // Without zero latency x264 looks ahead: its first packet comes late.
    ASSERT_TRUE(codecs.SetOptions(index, {{"tune", "film"}, {"preset", "medium"}}));
    for (bool fileFirst : {true, false}) {
        const QString path = FreshPath(QStringLiteral("delayed"));
        auto file = AviFile::Open(path);
        ASSERT_TRUE(file);
        auto compressor = std::make_unique<FrameEncoder>(codecs.Handle(index));
        for (int i = 0; i < 6; ++i) {
            const QImage picture = test::MovingPicture(160, 120, i);
            ASSERT_TRUE(compressor->StartStream(*file, picture, 1.0));
            ASSERT_TRUE(compressor->CompressFrame(picture));
        }
        EXPECT_LT(test::Demux(path).keyFrames.size(), 6u) << "the encoder held nothing back";
        if (fileFirst) {
            file.reset();
            compressor.reset();
        } else {
            compressor.reset();
            file.reset();
        }
        EXPECT_EQ(test::Demux(path).keyFrames.size(), 6u) << (fileFirst ? "file first" : "compressor first");
        EXPECT_EQ(test::ReadStreamHeader(path).length, 6u);
    }
}

TEST(Compressor, ARecordingKeepsTheConfigurationItStartedWith)
{
    CodecCatalogue codecs;
    const int index = codecs.IndexOf(QStringLiteral("mpeg4"));
    ASSERT_GE(index, 0);
    ASSERT_TRUE(codecs.SetOptions(index, {{"g", "2"}}));
    const QString path = FreshPath(QStringLiteral("config"));
    auto file = AviFile::Open(path);
    FrameEncoder compressor(codecs.Handle(index));
    for (int i = 0; i < 6; ++i) {
        const QImage picture = test::MovingPicture(160, 120, i);
        ASSERT_TRUE(compressor.StartStream(*file, picture, 1.0));
        ASSERT_TRUE(compressor.CompressFrame(picture));
        if (i == 0) {
            ASSERT_TRUE(codecs.SetOptions(index, {{"g", "5"}}));
        }
    }
    file.reset();
    EXPECT_EQ(test::Demux(path).keyFrames, (std::vector<bool>{true, false, true, false, true, false}));
}

TEST(Compressor, OptionsAreCheckedAgainstTheEncodersTableAndAppliedAllOrNone)
{
    CodecCatalogue codecs;
    const int index = codecs.IndexOf(QStringLiteral("mjpeg"));
    auto value = [&](const char* name) {
        for (const CodecOption& option : codecs.Options(index)) {
            if (option.name == QLatin1String(name))
                return option.value;
        }
        return QStringLiteral("(absent)");
    };
    EXPECT_EQ(value("global_quality"), "354");
    EXPECT_EQ(value("pixel_format"), "yuvj420p");
    QString error;
    EXPECT_FALSE(codecs.SetOptions(index, {{"qmax", "20"}, {"qmin", "500"}}, &error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("qmin = 500: "))) << error.toStdString();
    EXPECT_FALSE(codecs.SetOptions(index, {{"pixel_format", "nv12"}}, &error));
    EXPECT_FALSE(codecs.SetOptions(index, {{"no_such_option", "1"}}, &error));
    EXPECT_EQ(value("qmax"), "31");
    EXPECT_TRUE(codecs.SetOptions(index, {{"qmax", "20"}, {"pixel_format", "yuvj444p"}}));
    EXPECT_EQ(value("qmax"), "20");
    EXPECT_EQ(value("pixel_format"), "yuvj444p");
}

TEST(Compressor, AnEmptyTextGivesTheOptionBackToTheEncodersDefault)
{
    struct Case {
        const char* encoder;
        const char* option;
        const char* shownAfter;  // the encoder's own default
        const char* keptOption;  // another option of the entry, unchanged
        const char* keptValue;
    };
    for (const Case& c : {Case{"mjpeg", "rc_eq", "", "global_quality", "354"},
                          Case{"mpeg4", "rc_eq", "", "global_quality", "354"},
                          Case{"libx264", "profile", "", "tune", "zerolatency"},
                          Case{"libx264", "deblock", "", "preset", "veryfast"},
                          Case{"libx264", "preset", "medium", "g", "10"}}) {
        CodecCatalogue codecs;
        const int index = codecs.IndexOf(QLatin1String(c.encoder));
        ASSERT_GE(index, 0) << c.encoder;
        QString error;
        EXPECT_TRUE(codecs.SetOptions(index, {{c.option, ""}}, &error)) << c.option << ": " << error.toStdString();
        EXPECT_EQ(OptionValue(codecs, index, c.option), QLatin1String(c.shownAfter)) << c.encoder << " " << c.option;
        EXPECT_EQ(OptionValue(codecs, index, c.keptOption), QLatin1String(c.keptValue)) << c.encoder << " " << c.option;
        const QString path = Record(c.encoder, MovingPictures(3, 160, 120), 1.0, codecs);
        EXPECT_EQ(test::Ffprobe(path).value("nb_read_frames"), "3") << c.encoder << " " << c.option;
    }
    // Clearing a field that does not exist is still an error.
    QString error;
    EXPECT_FALSE(Catalogue().SetOptions(IndexOf("mjpeg"), {{"no_such_option", ""}}, &error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("no_such_option: "))) << error.toStdString();
}

TEST(Compressor, AChangeTheEncoderDoesNotOpenWithIsRefusedNamingItAndRecordingsGoOn)
{
    using Changes = std::vector<std::pair<QString, QString>>;
    struct Case {
        const char* encoder;
        Changes values;
        const char* error;        // how the message starts
        const char* pixelFormat;  // the entry's, kept
    };
    const Case cases[] = {
        {"mjpeg", {{"rc_eq", "tex^"}}, "rc_eq = tex^: the encoder does not open with it: ", "yuvj420p"},
        {"mpeg4", {{"qmax", "20"}, {"rc_eq", "nonsense"}}, "rc_eq = nonsense: the encoder does not open with it: ",
         "yuv420p"},
        {"mjpeg", {{"qmin", "40"}}, "qmin = 40: the encoder does not open with it: ", "yuvj420p"},
        // Limited-range YUV is not standard Motion JPEG.
        {"mjpeg", {{"qmax", "20"}, {"pixel_format", "yuv420p"}},
         "pixel_format = yuv420p: the encoder does not open with it: ", "yuvj420p"},
        // Each alone opens; the baseline profile has no 4:4:4.
        {"libx264", {{"profile", "baseline"}, {"pixel_format", "yuv444p"}},
         "profile = baseline, pixel_format = yuv444p: the encoder does not open with these together: ", "yuv420p"},
    };
    for (const Case& c : cases) {
        CodecCatalogue codecs;
        const int index = codecs.IndexOf(QLatin1String(c.encoder));
        ASSERT_GE(index, 0) << c.encoder;
        const QStringList before = Values(codecs, index);
        ASSERT_TRUE(before.contains(QStringLiteral("pixel_format = ") + QLatin1String(c.pixelFormat)));
        QString error;
        EXPECT_FALSE(codecs.SetOptions(index, c.values, &error)) << c.error;
        EXPECT_TRUE(error.startsWith(QLatin1String(c.error))) << error.toStdString();
        EXPECT_EQ(Values(codecs, index), before) << c.error;
        const QString path = Record(c.encoder, MovingPictures(2, 160, 120), 1.0, codecs);
        EXPECT_EQ(test::Ffprobe(path).value("nb_read_frames"), "2") << c.error;
    }
}

}  // namespace
}  // namespace orv::video
