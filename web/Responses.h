#pragma once
// Every byte the picture server sends, apart from the picture itself: the
// header lines, the page and its style sheet. The texts are 8-bit; the page
// is in Windows-1251. Header lines end in a bare LF, the header in CR LF, and
// no length is sent: the close of the connection ends the body. The live
// stream, an addition that is off unless the user turns it on, speaks proper
// HTTP/1.1 instead.

#include "HttpRequest.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orv::web {

inline constexpr std::string_view kStatusFound = "HTTP/1.1 200 OK\n";
inline constexpr std::string_view kServerLine = "Server: Orvello 2.0\n";
inline constexpr std::string_view kPageType = "Content-type: text/html\n";
inline constexpr std::string_view kStyleSheetType = "Content-type: text/css\n";
inline constexpr std::string_view kPictureType = "Content-type: image/jpeg\n";
inline constexpr std::string_view kEndOfHeader = "\r\n";
inline constexpr std::string_view kStatusNotFound = "HTTP/1.1 404 File not found\n";

// The live stream, multipart/x-mixed-replace: a header of proper HTTP/1.1
// lines, then one part per frame, and the closing boundary when the web
// camera stops. Each part is its header, the JPEG bytes and a CR LF.
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

// The pieces of the answer to a request, in the order in which they are
// written, one write each. For the picture the JPEG bytes follow them. No
// pieces for Resource::None; the stream's parts follow its header.
std::vector<std::string_view> AnswerPieces(Resource resource);

}  // namespace orv::web
