#pragma once
// Who may watch: the password's salted hash as the settings file keeps it,
// and the HTTP Basic credentials of a request checked against it.

#include <QByteArray>
#include <QString>

#include <string_view>

namespace orv::web {

// PBKDF2 rounds of a new hash.
inline constexpr int kPasswordRounds = 20000;

// "pbkdf2-sha256$ROUNDS$SALT$KEY": PBKDF2 with HMAC-SHA256 over the
// password's UTF-8 bytes, a random 16-byte salt, a 32-byte key; salt and key
// in base64.
QString MakePasswordHash(const QString& password, int rounds = kPasswordRounds);
// Whether password is the one hash was made from; false for a hash that is
// not of that form.
bool PasswordMatches(const QByteArray& password, const QString& hash);
// Whether hash is of that form, so that some password can match it.
bool UsableHash(const QString& hash);
// Whether a and b hold the same bytes, in a time that does not depend on
// where they differ.
bool SameBytes(const QByteArray& a, const QByteArray& b);

enum class Authorization {
    Missing,  // no Basic credentials in the request
    Wrong,    // another user name or password
    Good,
};
// The "Authorization: Basic ..." line of a request's header (name and scheme
// in any case) against user and the password of hash. The user name and
// password are taken as UTF-8 and, when that does not match, as ISO-8859-1,
// which several clients send whatever the server asks for: the Latin-1
// reading is tried for credentials with a byte outside ASCII, and is the only
// one for bytes that are no UTF-8. *derivations, when given, gets the number
// of keys derived (0 to 2).
Authorization CheckAuthorization(std::string_view request, const QString& user, const QString& hash,
                                 int* derivations = nullptr);
// The credentials part of that line ("Basic" and its base64 text), empty
// without one.
QByteArray BasicCredentials(std::string_view request);

// Why a user name could never log in. The browser sends "name:password",
// which is split at the first colon, so a name with a colon never matches;
// a control character (a line break, a tab) cannot be typed into a
// browser's login box.
enum class UserNameFault { None, Colon, ControlCharacter };
UserNameFault CheckUserName(const QString& name);

}  // namespace orv::web
