#include "SetPassword.h"

#include "config/Settings.h"
#include "platform/SettingsStore.h"
#include "web/Credentials.h"

#include <string>

#include <termios.h>
#include <unistd.h>

namespace orv {

namespace {

// The longest password taken, in bytes.
constexpr size_t kMostPasswordBytes = 1024;

// Overwrites the bytes of a text that held a password.
void Wipe(std::string* text)
{
    volatile char* bytes = text->data();
    for (size_t i = 0; i < text->size(); ++i)
        bytes[i] = 0;
    text->clear();
}

void Wipe(QString* text)
{
    text->fill(QChar(0));
    text->clear();
}

// Standard input's terminal with its echo off while it lives.
class EchoOff {
public:
    EchoOff()
    {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0)
            return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff()
    {
        if (active_)
            tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    termios saved_{};
    bool active_ = false;
};

// Asks on standard error, reads a line without echo.
std::optional<QString> AskOnTerminal(const char* prompt)
{
    // The echo goes off first: what is typed after the question is never shown.
    const EchoOff echoOff;
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    return ReadPasswordLine(stdin, kMostPasswordBytes);
}

int Refuse(const QString& why)
{
    std::fprintf(stderr, "orvello: %s; nothing stored\n", why.toLocal8Bit().constData());
    return kExitUsage;
}

}  // namespace

std::optional<QString> ReadPasswordLine(std::FILE* in, size_t most)
{
    std::string line;
    bool any = false;
    bool tooLong = false;
    for (int c = std::fgetc(in); c != EOF; c = std::fgetc(in)) {
        any = true;
        if (c == '\n')
            break;
        if (line.size() < most + 1)
            line.push_back(static_cast<char>(c));
        else
            tooLong = true;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (!any || tooLong || line.size() > most) {
        Wipe(&line);
        return std::nullopt;
    }
    QString password = QString::fromUtf8(line);
    Wipe(&line);
    return password;
}

int RunSetPassword(const LongOptions& options)
{
    Settings settings;
    const QString user = options.user.isEmpty() ? settings.GetServerUser() : options.user;
    if (user.trimmed().isEmpty())
        return Refuse(QStringLiteral("no user name is stored: give one, as in 'orvello --set-password USER'"));
    if (user != user.trimmed())
        return Refuse(QStringLiteral("a user name cannot begin or end with a space"));
    switch (web::CheckUserName(user)) {
    case web::UserNameFault::None: break;
    case web::UserNameFault::Colon:
        return Refuse(QStringLiteral("a user name cannot hold a colon: the browser joins name and password with one"));
    case web::UserNameFault::ControlCharacter:
        return Refuse(QStringLiteral("a user name cannot hold a control character (a line break, a tab)"));
    }

    std::optional<QString> password;
    if (isatty(STDIN_FILENO)) {
        password = AskOnTerminal("Password: ");
        if (password && !password->isEmpty()) {
            std::optional<QString> again = AskOnTerminal("The same password again: ");
            const bool same = again && *again == *password;
            if (again)
                Wipe(&*again);
            if (!same) {
                Wipe(&*password);
                return Refuse(QStringLiteral("the two passwords differ"));
            }
        }
    } else {
        password = ReadPasswordLine(stdin, kMostPasswordBytes);
    }
    if (!password)
        return Refuse(QStringLiteral("no password was read (or it is longer than %1 bytes)").arg(kMostPasswordBytes));
    if (password->isEmpty())
        return Refuse(QStringLiteral("an empty password is refused"));

    const QString hash = web::MakePasswordHash(*password);
    Wipe(&*password);
    reg::TakeWriteFailure();
    if (!options.user.isEmpty())
        settings.SetServerUser(options.user);
    settings.SetServerPasswordHash(hash);
    const std::string refused = reg::TakeWriteFailure();
    const QString file = QString::fromStdString(reg::SettingsFilePath());
    if (!refused.empty()) {
        std::fprintf(stderr, "orvello: the settings file %s took no password: %s\n", file.toLocal8Bit().constData(),
                     refused.c_str());
        return kExitFileNotWritable;
    }
    std::printf("orvello: stored the hash of the password of user \"%s\" in %s\n", user.toLocal8Bit().constData(),
                file.toLocal8Bit().constData());
    return kExitSuccess;
}

}  // namespace orv
