#include "Credentials.h"

#include <QCryptographicHash>
#include <QList>
#include <QPasswordDigestor>
#include <QRandomGenerator>

#include <algorithm>
#include <optional>
#include <string>

namespace orv::web {
namespace {

constexpr int kSaltBytes = 16;
constexpr int kKeyBytes = 32;
const QString kScheme = QStringLiteral("pbkdf2-sha256");

QByteArray DeriveKey(const QByteArray& password, const QByteArray& salt, int rounds)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password, salt, rounds, kKeyBytes);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(text[i]) != lower(prefix[i]))
            return false;
    }
    return true;
}

}  // namespace

QString MakePasswordHash(const QString& password, int rounds)
{
    QByteArray salt(kSaltBytes, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(salt.data()), kSaltBytes / 4);
    const QByteArray key = DeriveKey(password.toUtf8(), salt, rounds);
    return kScheme + QLatin1Char('$') + QString::number(rounds) + QLatin1Char('$') +
           QString::fromLatin1(salt.toBase64()) + QLatin1Char('$') + QString::fromLatin1(key.toBase64());
}

namespace {

struct ParsedHash {
    int rounds = 0;
    QByteArray salt;
    QByteArray key;
};

std::optional<ParsedHash> ParseHash(const QString& hash)
{
    const QStringList fields = hash.split(QLatin1Char('$'));
    if (fields.size() != 4 || fields[0] != kScheme)
        return std::nullopt;
    bool ok = false;
    ParsedHash parsed;
    parsed.rounds = fields[1].toInt(&ok);
    // A bound on the rounds keeps a damaged settings file from stalling the server.
    if (!ok || parsed.rounds < 1 || parsed.rounds > 10000000)
        return std::nullopt;
    parsed.salt = QByteArray::fromBase64(fields[2].toLatin1());
    parsed.key = QByteArray::fromBase64(fields[3].toLatin1());
    if (parsed.salt.isEmpty() || parsed.key.size() != kKeyBytes)
        return std::nullopt;
    return parsed;
}

}  // namespace

bool PasswordMatches(const QByteArray& password, const QString& hash)
{
    const std::optional<ParsedHash> parsed = ParseHash(hash);
    return parsed && SameBytes(DeriveKey(password, parsed->salt, parsed->rounds), parsed->key);
}

bool UsableHash(const QString& hash) { return ParseHash(hash).has_value(); }

bool SameBytes(const QByteArray& a, const QByteArray& b)
{
    const qsizetype length = std::max(a.size(), b.size());
    unsigned difference = a.size() == b.size() ? 0u : 1u;
    for (qsizetype i = 0; i < length; ++i) {
        const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
        const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
        difference |= static_cast<unsigned>(x ^ y);
    }
    return difference == 0;
}

QByteArray BasicCredentials(std::string_view request)
{
    // The header lines after the request line, up to the empty line.
    size_t line = request.find('\n');
    while (line != std::string_view::npos) {
        const size_t start = line + 1;
        line = request.find('\n', start);
        std::string_view text = request.substr(start, line == std::string_view::npos ? line : line - start);
        if (!text.empty() && text.back() == '\r')
            text.remove_suffix(1);
        if (text.empty())
            break;
        if (!StartsWithNoCase(text, "authorization:"))
            continue;
        text.remove_prefix(14);
        while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
            text.remove_prefix(1);
        if (!StartsWithNoCase(text, "basic "))
            return {};
        text.remove_prefix(6);
        while (!text.empty() && (text.front() == ' ' || text.back() == ' ' || text.back() == '\t')) {
            if (text.front() == ' ')
                text.remove_prefix(1);
            else
                text.remove_suffix(1);
        }
        return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
    }
    return {};
}

UserNameFault CheckUserName(const QString& name)
{
    if (name.contains(QLatin1Char(':')))
        return UserNameFault::Colon;
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control)
            return UserNameFault::ControlCharacter;
    }
    return UserNameFault::None;
}

Authorization CheckAuthorization(std::string_view request, const QString& user, const QString& hash,
                                 int* derivations)
{
    if (derivations)
        *derivations = 0;
    const QByteArray encoded = BasicCredentials(request);
    if (encoded.isEmpty())
        return Authorization::Missing;
    const auto result = QByteArray::fromBase64Encoding(encoded, QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return Authorization::Wrong;
    const QByteArray& decoded = result.decoded;
    if (!decoded.contains(':'))
        return Authorization::Wrong;
    // The readings to try, as UTF-8 bytes.
    QByteArrayList readings;
    // Bytes that are no UTF-8 come back changed (each bad sequence as U+FFFD).
    if (QString::fromUtf8(decoded).toUtf8() == decoded)
        readings.append(decoded);
    const bool ascii = std::all_of(decoded.begin(), decoded.end(), [](char c) { return (c & 0x80) == 0; });
    if (!ascii)
        readings.append(QString::fromLatin1(decoded).toUtf8());
    const QByteArray userBytes = user.toUtf8();
    for (const QByteArray& reading : readings) {
        const qsizetype colon = reading.indexOf(':');
        const bool sameUser = SameBytes(reading.left(colon), userBytes);
        // The password is checked whatever the name, so that the time does
        // not tell whether the name was right.
        const bool samePassword = PasswordMatches(reading.mid(colon + 1), hash);
        if (derivations)
            ++*derivations;
        if (sameUser && samePassword)
            return Authorization::Good;
    }
    return Authorization::Wrong;
}

}  // namespace orv::web
