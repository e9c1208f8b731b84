// `orvello --set-password`: its arguments parsed, and the program run as a
// process with the password on standard input and a settings file of its
// own, read back afterwards with the store's reader.

#include "cli/CommandLine.h"
#include "cli/SetPassword.h"
#include "platform/SettingsStore.h"
#include "tests/support/TestEnv.h"
#include "web/Credentials.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>

namespace orv::test {
namespace {

using Action = LongOptions::Action;

TEST(SetPassword, Arguments)
{
    struct Case {
        QStringList arguments;
        Action action;
        const char* userOrError;
    };
    const Case cases[] = {
        {{QStringLiteral("--set-password")}, Action::SetPassword, ""},
        {{QStringLiteral("--set-password"), QStringLiteral("ann")}, Action::SetPassword, "ann"},
        {{QStringLiteral("--set-password=ann lee")}, Action::SetPassword, "ann lee"},
        {{QStringLiteral("--set-password="), QStringLiteral("ann")}, Action::Error,
         "option '--set-password=' needs a user name after '='"},
        {{QStringLiteral("--set-password"), QStringLiteral("ann"), QStringLiteral("bob")}, Action::Error,
         "unexpected argument 'bob' with --set-password"},
        {{QStringLiteral("--set-password"), QStringLiteral("-d")}, Action::Error,
         "unexpected argument '-d' with --set-password"},
        {{QStringLiteral("--set-password"), QStringLiteral("--wait"), QStringLiteral("3")}, Action::Error,
         "option '--wait' does not go with --set-password"},
        {{QStringLiteral("--serve"), QStringLiteral("--set-password")}, Action::Error,
         "--set-password goes alone, not with --photo, --record or --serve"},
        {{QStringLiteral("--set-password"), QStringLiteral("--record"), QStringLiteral("a.avi")}, Action::Error,
         "--set-password goes alone, not with --photo, --record or --serve"},
        {{QStringLiteral("--set-password"), QStringLiteral("--help")}, Action::Help, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.join(QLatin1Char(' ')).toStdString());
        const LongOptions options = ParseLongOptions(c.arguments);
        EXPECT_EQ(options.action, c.action);
        if (c.action == Action::Error) {
            EXPECT_EQ(options.error.toStdString(), c.userOrError);
        } else {
            EXPECT_EQ(options.user.toStdString(), c.userOrError);
        }
    }
    EXPECT_TRUE(HelpText().contains(QStringLiteral("--set-password [USER]")));
}

TEST(SetPassword, ReadsOneLine)
{
    struct Case {
        QByteArray input;
        std::optional<QString> line;
    };
    const Case cases[] = {
        {"secret\n", QStringLiteral("secret")},
        {"secret\r\nmore\n", QStringLiteral("secret")},
        {"no line end", QStringLiteral("no line end")},
        {"  spaces kept  \n", QStringLiteral("  spaces kept  ")},
        {"\xc3\xa9t\xc3\xa9\n", QStringLiteral("été")},
        {"\n", QString()},
        {"", std::nullopt},
        {"1234567890123456\n", QStringLiteral("1234567890123456")},
        {"12345678901234567\n", std::nullopt},  // longer than 16 bytes
        {"1234567890123456\r\n", QStringLiteral("1234567890123456")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input.toStdString());
        std::FILE* in = tmpfile();
        ASSERT_NE(in, nullptr);
        std::fwrite(c.input.constData(), 1, static_cast<size_t>(c.input.size()), in);
        std::rewind(in);
        const std::optional<QString> line = ReadPasswordLine(in, 16);
        std::fclose(in);
        EXPECT_EQ(line.has_value(), c.line.has_value());
        if (line && c.line) {
            EXPECT_EQ(line->toStdString(), c.line->toStdString());
        }
    }
}

TEST(SetPassword, RunAsAProgram)
{
    struct Case {
        const char* name;
        QByteArray stored;  // value lines in the settings file before
        QStringList arguments;
        QByteArray input;
        int status;
        const char* user;      // "ServerUser" afterwards
        const char* password;  // what the stored hash must match; nullptr: the hash as before
        const char* said;      // in the output line
        bool readOnly = false;  // the settings file is made read-only: it takes nothing
    };
    const QByteArray oldHash = web::MakePasswordHash(QStringLiteral("old secret"), 1000).toUtf8();
    const QByteArray protectedKey = "\"ServerUser\"=\"ann\"\n\"ServerPasswordHash\"=\"" + oldHash + "\"\n";
    const Case cases[] = {
        {"a user given", "", {QStringLiteral("ann")}, "new secret\n", 0, "ann", "new secret",
         "stored the hash of the password of user \"ann\""},
        {"the stored user", protectedKey, {}, "new secret", 0, "ann", "new secret",
         "stored the hash of the password of user \"ann\""},
        {"another user", protectedKey, {QStringLiteral("--set-password=bob")}, "new secret\r\n", 0, "bob",
         "new secret", "user \"bob\""},
        {"no user given or stored", "", {}, "new secret\n", 2, "", nullptr, "no user name is stored"},
        {"an empty password", protectedKey, {}, "\nnew secret\n", 2, "ann", nullptr, "an empty password is refused"},
        {"nothing on standard input", protectedKey, {QStringLiteral("bob")}, "", 2, "ann", nullptr,
         "no password was read"},
        // Names that could never log in: Basic credentials are split at the
        // first colon, and no browser sends a control character.
        {"a user name with a colon", "", {QStringLiteral("a:b")}, "new secret\n", 2, "", nullptr,
         "a user name cannot hold a colon"},
        {"a user name with a line break", protectedKey, {QStringLiteral("--set-password=ann\nlee")}, "new secret\n", 2,
         "ann", nullptr, "a user name cannot hold a control character"},
        {"a wrong option", protectedKey, {QStringLiteral("ann"), QStringLiteral("bob")}, "new secret\n", 2, "ann",
         nullptr, "unexpected argument 'bob'"},
        {"a settings file that takes nothing", protectedKey, {QStringLiteral("bob")}, "new secret\n", 5, "ann", nullptr,
         "took no password", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString settings = dir.filePath(QStringLiteral("settings.reg"));
        {
            QFile file(settings);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n" + c.stored);
        }
        if (c.readOnly) {
            ASSERT_TRUE(QFile::setPermissions(settings, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        }
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ORVELLO_SETTINGS_FILE"), settings);
        env.insert(QStringLiteral("ORVELLO_LOCK_DIR"), dir.path());
        // No display: nothing may need one.
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":9999"));
        process.setProcessEnvironment(env);
        QStringList arguments{QStringLiteral("--set-password")};
        if (!c.arguments.isEmpty() && c.arguments.first().startsWith(QStringLiteral("--set-password=")))
            arguments = c.arguments;
        else
            arguments << c.arguments;
        process.start(BinaryDir() + QStringLiteral("/orvello"), arguments);
        ASSERT_TRUE(process.waitForStarted());
        process.write(c.input);
        process.closeWriteChannel();
        ASSERT_TRUE(process.waitForFinished(60000));
        const QString out = QString::fromUtf8(process.readAllStandardOutput());
        const QString err = QString::fromUtf8(process.readAllStandardError());
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), c.status) << err.toStdString();
        // One line, on standard output when stored, else on standard error.
        const QString said = c.status == 0 ? out : err;
        EXPECT_TRUE(said.contains(QString::fromUtf8(c.said))) << said.toStdString();
        EXPECT_TRUE(c.status == 0 ? err.isEmpty() : out.isEmpty()) << (out + err).toStdString();
        // The password is in no output and not in the file.
        EXPECT_FALSE((out + err).contains(QStringLiteral("secret"))) << (out + err).toStdString();
        QFile file(settings);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_FALSE(file.readAll().contains("secret"));

        const QByteArray before = qgetenv("ORVELLO_SETTINGS_FILE");
        qputenv("ORVELLO_SETTINGS_FILE", settings.toUtf8());
        EXPECT_EQ(reg::ReadRegString("ServerUser", ""), c.user);
        const QByteArray hash = QByteArray::fromStdString(reg::ReadRegString("ServerPasswordHash", ""));
        if (c.password) {
            EXPECT_TRUE(web::PasswordMatches(c.password, QString::fromUtf8(hash)));
            EXPECT_FALSE(web::PasswordMatches("old secret", QString::fromUtf8(hash)));
        } else {
            EXPECT_EQ(hash, c.stored.isEmpty() ? QByteArray() : oldHash);
        }
        if (before.isEmpty())
            qunsetenv("ORVELLO_SETTINGS_FILE");
        else
            qputenv("ORVELLO_SETTINGS_FILE", before);
    }
}

// On a terminal (script gives the program one): asked twice, shown on it
// neither time, stored only when both agree.
TEST(SetPassword, OnATerminal)
{
    struct Case {
        const char* second;
        int status;
    };
    const Case cases[] = {{"tty secret", 0}, {"tty secreT", 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.second);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString settings = dir.filePath(QStringLiteral("settings.reg"));
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ORVELLO_SETTINGS_FILE"), settings);
        process.setProcessEnvironment(env);
        process.start(QStringLiteral("script"),
                      {QStringLiteral("-qec"), BinaryDir() + QStringLiteral("/orvello --set-password zed"),
                       QStringLiteral("/dev/null")});
        ASSERT_TRUE(process.waitForStarted());
        QByteArray shown;
        // Each answer once its question is on the terminal, with the echo off.
        const auto answer = [&](const QByteArray& question, const QByteArray& line) {
            while (!shown.contains(question) && process.waitForReadyRead(30000))
                shown += process.readAllStandardOutput();
            ASSERT_TRUE(shown.contains(question)) << shown.toStdString();
            process.write(line);
        };
        answer("Password: ", "tty secret\n");
        answer("again: ", QByteArray(c.second) + "\n");
        ASSERT_TRUE(process.waitForFinished(30000));
        shown += process.readAllStandardOutput();
        EXPECT_EQ(process.exitCode(), c.status) << shown.toStdString();
        EXPECT_FALSE(shown.contains("secret")) << shown.toStdString();
        EXPECT_EQ(shown.contains("stored the hash of the password of user \"zed\""), c.status == 0)
            << shown.toStdString();
        EXPECT_EQ(QFile::exists(settings), c.status == 0);
    }
}

}  // namespace
}  // namespace orv::test
