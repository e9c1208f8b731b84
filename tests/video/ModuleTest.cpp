// The FFmpeg module: the program starts without loading FFmpeg, a wrong
// module is refused before any of it runs, and without the module the
// catalogue is empty and a recording's file fails with the reason.

#include "video/AviFile.h"
#include "video/CodecCatalogue.h"
#include "video/FfmpegModule.h"
#include "video/ModuleLoader.h"
#include "tests/support/TestEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace orv::video {
namespace {

QString ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

TEST(FfmpegModule, TheProgramStartsWithoutLoadingFfmpeg)
{
    QTemporaryDir dir;
    const QString settings = dir.filePath(QStringLiteral("settings.reg"));
    QFile file(settings);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n"
               "\"AutoPhoneConnect\"=dword:00000000\n\"ShowSplash\"=dword:00000001\n");
    file.close();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("ORVELLO_LOCK_DIR"), dir.path());
    env.insert(QStringLiteral("ORVELLO_SETTINGS_FILE"), settings);
    env.insert(QStringLiteral("ORVELLO_DIALOG_LOG"), dir.filePath(QStringLiteral("dialogs.log")));
    // The dynamic loader names every library it loads, into loader.PID.
    env.insert(QStringLiteral("LD_DEBUG"), QStringLiteral("files"));
    env.insert(QStringLiteral("LD_DEBUG_OUTPUT"), dir.filePath(QStringLiteral("loader")));
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(test::BinaryDir() + QStringLiteral("/orvello"), {QStringLiteral("--exit-when-idle")});
    ASSERT_TRUE(program.waitForFinished(60000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);

    QString trace;
    for (const QString& name : QDir(dir.path()).entryList({QStringLiteral("loader.*")}, QDir::Files))
        trace += ReadAll(dir.filePath(name));
    ASSERT_TRUE(trace.contains(QStringLiteral("file=libQt6Widgets.so.6"))) << "no loader trace";
    for (const char* library : {"libavcodec", "libavformat", "libswscale", "libavutil", "orvello-ffmpeg"})
        EXPECT_FALSE(trace.contains(QLatin1String(library))) << library << " was loaded at start-up";
}

TEST(FfmpegModule, AWrongModuleIsRefusedWithTheLoadersReason)
{
    QTemporaryDir dir;
    const QString text = dir.filePath(QStringLiteral("orvello-ffmpeg.so"));
    QFile file(text);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(200, 'x'));
    file.close();

    struct Case {
        QString path;
        QString reason;  // what the error ends with
    };
    const Case cases[] = {
        {dir.filePath(QStringLiteral("none/orvello-ffmpeg.so")), QStringLiteral("No such file or directory")},
        {text, QStringLiteral("invalid ELF header")},
        {QStringLiteral(FAKE_MODULE_WITHOUT_ENTRY), QStringLiteral("undefined symbol: orvello_ffmpeg_abi")},
        {QStringLiteral(FAKE_MODULE_OTHER_ABI),
         QStringLiteral("it was built for interface version %1, the program uses %2")
             .arg(module::kAbiVersion + 1)
             .arg(module::kAbiVersion)},
    };
    for (const Case& c : cases) {
        QString error;
        EXPECT_EQ(module::Load(c.path, &error), nullptr) << c.path.toStdString();
        EXPECT_TRUE(error.startsWith(QStringLiteral("cannot load the FFmpeg module ") + c.path + QStringLiteral(": ")))
            << error.toStdString();
        EXPECT_TRUE(error.endsWith(c.reason)) << error.toStdString();
    }

    // The build's own module, beside this test program, is the first place
    // looked in and loads, the same module every time.
    const QString built = test::BinaryDir() + QStringLiteral("/orvello-ffmpeg.so");
    EXPECT_EQ(module::Candidates().value(0).toStdString(), QFileInfo(built).absoluteFilePath().toStdString());
    QString error;
    module::Module* first = module::Load(built, &error);
    EXPECT_NE(first, nullptr) << error.toStdString();
    EXPECT_EQ(module::Load(built, &error), first);
}

TEST(FfmpegModule, WithoutTheModuleTheCatalogueIsEmptyAndNoFileIsMade)
{
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("orvello-ffmpeg.so"));
    module::SetModulePathForTests(missing);
    const QString reason =
        QStringLiteral("cannot load the FFmpeg module %1: cannot open shared object file: No such file or directory")
            .arg(missing);

    testing::internal::CaptureStderr();
    CodecCatalogue codecs;
    EXPECT_EQ(codecs.Count(), 0);
    const std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_EQ(logged, "orvello: no video encoders: " + reason.toStdString() + "\n");

    testing::internal::CaptureStderr();
    EXPECT_EQ(codecs.Handle(0), nullptr);
    EXPECT_EQ(codecs.GetName(0), QString());
    EXPECT_EQ(codecs.IndexOf(QStringLiteral("mjpeg")), -1);
    EXPECT_TRUE(codecs.Options(0).empty());
    EXPECT_EQ(codecs.Info(0).name, QString());
    QString error;
    EXPECT_FALSE(codecs.SetOptions(0, {{"g", "3"}}, &error));
    EXPECT_EQ(error, QStringLiteral("No encoder at position 0"));

    const QString path = dir.filePath(QStringLiteral("recording.avi"));
    EXPECT_EQ(AviFile::Open(path, &error), nullptr);
    EXPECT_EQ(error, reason);
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(CodecCatalogue().Count(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "the reason is written once";
    module::SetModulePathForTests(QString());
}

}  // namespace
}  // namespace orv::video
