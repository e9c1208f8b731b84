// Who may watch, without sockets: the password's salted hash and the Basic
// credentials of a request checked against it.

#include "web/Credentials.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

namespace orv::web {
namespace {

TEST(CredentialsTest, HashIsSaltedPbkdf2ThatOnlyItsPasswordMatches)
{
    const QString first = MakePasswordHash(QStringLiteral("s\u00e9same"), 1000);
    const QString second = MakePasswordHash(QStringLiteral("s\u00e9same"), 1000);
    // Salted: the same password never gives the same text twice.
    EXPECT_NE(first, second);
    const QStringList fields = first.split(QLatin1Char('$'));
    ASSERT_EQ(fields.size(), 4);
    EXPECT_EQ(fields[0], QStringLiteral("pbkdf2-sha256"));
    EXPECT_EQ(fields[1], QStringLiteral("1000"));
    EXPECT_EQ(QByteArray::fromBase64(fields[2].toLatin1()).size(), 16);
    EXPECT_EQ(QByteArray::fromBase64(fields[3].toLatin1()).size(), 32);
    EXPECT_FALSE(first.contains(QStringLiteral("same")));
    // The shipped number of rounds.
    EXPECT_TRUE(MakePasswordHash(QStringLiteral("x")).startsWith(QStringLiteral("pbkdf2-sha256$20000$")));

    struct Case {
        QByteArray password;
        QString hash;
        bool matches;
        bool usable = true;  // some password can match the hash
    };
    // PBKDF2-HMAC-SHA256 of "passwd" with salt "salt" and 1 round, as
    // Python's hashlib.pbkdf2_hmac computes it.
    const QString known = QStringLiteral("pbkdf2-sha256$1$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw=");
    const Case cases[] = {
        {"s\xc3\xa9same", first, true},
        {"s\xc3\xa9same", second, true},
        {"sesame", first, false},
        {"", first, false},
        {"passwd", known, true},
        {"passw", known, false},
        {"passwd", QStringLiteral("sha1$1$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw="), false, false},
        {"passwd", QStringLiteral("pbkdf2-sha256$0$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLw="), false, false},
        {"passwd", QStringLiteral("pbkdf2-sha256$1$c2FsdA==$VawEblbjCJ"), false, false},
        {"passwd", QStringLiteral("passwd"), false, false},
        {"passwd", QString(), false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PasswordMatches(c.password, c.hash), c.matches) << c.password.constData() << " " << c.hash.toStdString();
        EXPECT_EQ(UsableHash(c.hash), c.usable) << c.hash.toStdString();
    }
}

// The page that SameBytes must still read, kept unreadable: the first read
// there is noted and the page opened, and the read goes on.
volatile std::sig_atomic_t gLastPageRead = 0;
void* gLastPage = nullptr;
size_t gPageSize = 0;

void OnLastPageRead(int, siginfo_t*, void*)
{
    gLastPageRead = 1;
    ::mprotect(gLastPage, gPageSize, PROT_READ | PROT_WRITE);
}

// Its time tells nothing of how much was right: it reads both arrays to their
// ends wherever they differ first.
TEST(CredentialsTest, SameBytesReadsEveryByteWhereverTheyDiffer)
{
    gPageSize = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    void* const map = ::mmap(nullptr, 2 * gPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    char* const bytes = static_cast<char*>(map);
    std::memset(bytes, 'k', 2 * gPageSize);
    gLastPage = bytes + gPageSize;
    // 32 bytes, the last 16 of them on the second page.
    const QByteArray key = QByteArray::fromRawData(bytes + gPageSize - 16, 32);
    struct sigaction onRead {};
    onRead.sa_sigaction = OnLastPageRead;
    onRead.sa_flags = SA_SIGINFO;
    struct sigaction before {};
    ASSERT_EQ(::sigaction(SIGSEGV, &onRead, &before), 0);
    for (const int differsAt : {0, 1, 15, 31, -1}) {
        SCOPED_TRACE(differsAt);
        QByteArray other(32, 'k');
        if (differsAt >= 0)
            other[differsAt] = 'K';
        gLastPageRead = 0;
        ASSERT_EQ(::mprotect(gLastPage, gPageSize, PROT_NONE), 0);
        EXPECT_EQ(SameBytes(other, key), differsAt < 0);
        EXPECT_EQ(gLastPageRead, 1) << "the comparison stopped before the end";
    }
    ::sigaction(SIGSEGV, &before, nullptr);
    ::munmap(map, 2 * gPageSize);
}

TEST(CredentialsTest, SameBytesComparesWholeArrays)
{
    EXPECT_TRUE(SameBytes("abc", "abc"));
    EXPECT_TRUE(SameBytes("", ""));
    EXPECT_FALSE(SameBytes("abc", "abd"));
    EXPECT_FALSE(SameBytes("abc", QByteArray("abc\0", 4)));
    EXPECT_FALSE(SameBytes("abc", "ab"));
    EXPECT_FALSE(SameBytes("", "a"));
}

TEST(CredentialsTest, BasicCredentialsOfTheHeaderAreCheckedAgainstUserAndHash)
{
    const QString hash = MakePasswordHash(QStringLiteral("pass:word"), 1000);
    const auto request = [](const std::string& lines) { return "GET / HTTP/1.1\r\nHost: cam\r\n" + lines + "\r\n"; };
    const std::string good = QByteArray("viewer:pass:word").toBase64().toStdString();
    struct Case {
        const char* name;
        std::string request;
        Authorization result;
    };
    const Case cases[] = {
        {"good", request("Authorization: Basic " + good + "\r\n"), Authorization::Good},
        {"any case, bare LF", request("authorization: BASIC  " + good + " \n"), Authorization::Good},
        {"none", request(""), Authorization::Missing},
        {"another scheme", request("Authorization: Bearer " + good + "\r\n"), Authorization::Missing},
        {"after the header", request("") + "Authorization: Basic " + good + "\r\n", Authorization::Missing},
        {"in the request line", "GET /Authorization: Basic " + good + " HTTP/1.1\r\n\r\n", Authorization::Missing},
        {"wrong password", request("Authorization: Basic " + QByteArray("viewer:pass").toBase64().toStdString() + "\r\n"),
         Authorization::Wrong},
        {"wrong user", request("Authorization: Basic " + QByteArray("Viewer:pass:word").toBase64().toStdString() + "\r\n"),
         Authorization::Wrong},
        {"no colon", request("Authorization: Basic " + QByteArray("viewer").toBase64().toStdString() + "\r\n"),
         Authorization::Wrong},
        {"not base64", request("Authorization: Basic dmlld2Vy*OnBhc3M=\r\n"), Authorization::Wrong},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CheckAuthorization(c.request, QStringLiteral("viewer"), hash), c.result) << c.name;
}

TEST(CredentialsTest, CredentialsOutsideAsciiMatchInUtf8AndInIso88591)
{
    // "pass wörd", and a password whose ISO-8859-1 bytes happen to be UTF-8
    // ("Ã©" is C3 A9, which UTF-8 reads as "é").
    const QString hash = MakePasswordHash(QStringLiteral("pass w\u00f6rd"), 1000);
    const QString mojibake = MakePasswordHash(QStringLiteral("\u00c3\u00a9"), 1000);
    const auto request = [](const QByteArray& userAndPassword) {
        return "GET / HTTP/1.1\r\nAuthorization: Basic " + userAndPassword.toBase64().toStdString() + "\r\n\r\n";
    };
    struct Case {
        const char* name;
        QString user;
        QString hash;
        QByteArray sent;
        Authorization result;
        int derivations;
    };
    const Case cases[] = {
        {"UTF-8", QStringLiteral("viewer"), hash, "viewer:pass w\xc3\xb6rd", Authorization::Good, 1},
        {"ISO-8859-1", QStringLiteral("viewer"), hash, "viewer:pass w\xf6rd", Authorization::Good, 1},
        {"ISO-8859-1, wrong", QStringLiteral("viewer"), hash, "viewer:pass w\xf6rt", Authorization::Wrong, 1},
        {"UTF-8, wrong", QStringLiteral("viewer"), hash, "viewer:pass w\xc3\xb6rt", Authorization::Wrong, 2},
        {"ASCII, wrong", QStringLiteral("viewer"), hash, "viewer:pass word", Authorization::Wrong, 1},
        {"ISO-8859-1 that reads as UTF-8", QStringLiteral("viewer"), mojibake, "viewer:\xc3\xa9", Authorization::Good, 2},
        {"user outside ASCII, ISO-8859-1", QStringLiteral("b\u00e9b\u00e9"), hash, "b\xe9" "b\xe9:pass w\xf6rd",
         Authorization::Good, 1},
        {"user outside ASCII, UTF-8", QStringLiteral("b\u00e9b\u00e9"), hash, "b\xc3\xa9" "b\xc3\xa9:pass w\xc3\xb6rd",
         Authorization::Good, 1},
    };
    for (const Case& c : cases) {
        int derivations = -1;
        EXPECT_EQ(CheckAuthorization(request(c.sent), c.user, c.hash, &derivations), c.result) << c.name;
        EXPECT_EQ(derivations, c.derivations) << c.name;
    }
}

}  // namespace
}  // namespace orv::web
