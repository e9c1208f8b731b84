#pragma once
// Every byte the picture server sends, apart from the picture itself: the
// header lines, the page and its style sheet. The texts are 8-bit; the page
// is in Windows-1251. Header lines end in CR LF; every answer but the live
// stream carries its length and "Connection: close", and the server closes
// the connection after it.

#include "HttpRequest.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace orv::web {

inline constexpr std::string_view kStatusFound = "HTTP/1.1 200 OK\r\n";
inline constexpr std::string_view kServerLine = "Server: Orvello 2.0\r\n";
inline constexpr std::string_view kPageType = "Content-type: text/html\r\n";
inline constexpr std::string_view kStyleSheetType = "Content-type: text/css\r\n";
inline constexpr std::string_view kPictureType = "Content-type: image/jpeg\r\n";
// The state changes from one request to the next: no cache keeps it.
inline constexpr std::string_view kStateType = "Content-type: application/json\r\nCache-Control: no-store\r\n";
inline constexpr std::string_view kConnectionClose = "Connection: close\r\n";
inline constexpr std::string_view kEndOfHeader = "\r\n";

// The complete answers without a body.
inline constexpr std::string_view kNotFoundAnswer =
    "HTTP/1.1 404 File not found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
// Before the first frame there is no picture yet; clients try again.
inline constexpr std::string_view kUnavailableAnswer =
    "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
inline constexpr std::string_view kMethodNotAllowedAnswer =
    "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET, HEAD\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
// The charset parameter (RFC 7617) asks for the credentials in UTF-8; the
// clients that ignore it send ISO-8859-1, which is accepted too.
inline constexpr std::string_view kUnauthorizedAnswer =
    "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"Orvello\", charset=\"UTF-8\"\r\n"
    "Content-Length: 0\r\nConnection: close\r\n\r\n";
// A path with a malformed percent escape or an escaped NUL.
inline constexpr std::string_view kBadRequestAnswer =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
// Credentials that cannot be checked now (too many wrong ones from that
// address lately, or another check of that address under way): come back
// after the given seconds.
std::string TooManyAttemptsAnswer(int retryAfterSeconds);
inline constexpr std::string_view kTooLargeAnswer =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// The live stream, multipart/x-mixed-replace: its header, then one part per
// frame, and the closing boundary when the web camera stops. Each part is
// its header, the JPEG bytes and a CR LF.
inline constexpr std::string_view kStreamHeader =
    "HTTP/1.1 200 OK\r\n"
    "Server: Orvello 2.0\r\n"
    "Content-Type: multipart/x-mixed-replace; boundary=orvelloframe\r\n"
    "Cache-Control: no-store\r\n"
    "Pragma: no-cache\r\n"
    "Connection: close\r\n"
    "\r\n";
inline constexpr std::string_view kStreamPartEnd = "\r\n";
inline constexpr std::string_view kStreamEnd = "--orvelloframe--\r\n";
// "--orvelloframe", the picture's type and its length in bytes, and the
// empty line before the picture.
std::string StreamPartHeader(size_t pictureLength);

// The page that shows the picture and reloads itself every 10 seconds, with
// links to the program's web site and its authors' address.
std::string_view PageText();
// The page's style sheet, one line.
std::string_view StyleSheetText();

// The header of the answer to resource, for a body of bodyLength bytes (the
// picture's or the state's; the page's and the style sheet's are known): status, server and
// type lines, the length, "Connection: close" and the empty line. Empty for
// Resource::None.
std::string AnswerHeader(Resource resource, size_t bodyLength = 0);
// The fixed body of resource: the page or the style sheet, else nothing.
std::string_view AnswerBody(Resource resource);

}  // namespace orv::web
