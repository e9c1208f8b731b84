#pragma once
// Every byte the picture server sends, apart from the picture itself: the
// header lines, the page and its style sheet. The texts are 8-bit; the page
// is in Windows-1251. Header lines end in a bare LF, the header in CR LF, and
// no length is sent: the close of the connection ends the body.

#include "HttpRequest.h"

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

// The page that shows the picture and reloads itself every 10 seconds, with
// links to the program's web site and its authors' address.
std::string_view PageText();
// The page's style sheet, one line.
std::string_view StyleSheetText();

// The pieces of the answer to a request, in the order in which they are
// written, one write each. For the picture the JPEG bytes follow them. No
// pieces for Resource::None.
std::vector<std::string_view> AnswerPieces(Resource resource);

}  // namespace orv::web
