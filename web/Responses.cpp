#include "Responses.h"

#include "config/Addresses.h"

#include <string>

namespace orv::web {
namespace {

// The page, line by line, before the two leading blanks and the LF that
// every line gets. 0xAE is the registered sign in Windows-1251.
std::string BuildPage()
{
    const std::string site = kWebSite;
    const std::string mail = kAuthorMail;
    const std::string lines[] = {
        "<html>",
        "<head>",
        "<meta http-equiv=Content-Type content=\"text/html; charset=windows-1251\">",
        "<meta http-equiv=Pragma content=\"no-cache\">",
        "<meta http-equiv=Refresh content=\"10\">",
        "<title>Orvello \xAE for Linux</title>",
        "<LINK href=\"style.css\" type=text/css rel=stylesheet>",
        "</head>",
        "<body bgcolor=\"black\">",
        "<table width=95% align=center cellpadding=2 cellspacing=2 border=0>",
        "<tr><td align=center><center>",
        "<img src=\"current.jpg\">",
        "</td></tr></table>",
        "<hr width=95%><p align=center><a href=\"" + site + "\">Orvello Home Page</a><br>",
        "<a href=\"mailto:" + mail + "\">[email: " + mail + "]</a></p><br></body>",
        "</html>",
    };
    std::string page;
    for (const std::string& line : lines)
        page += "  " + line + "\n";
    return page;
}

// The rules of the style sheet, in order; each is preceded by two blanks
// (the sheet begins with them) and followed by two more.
std::string BuildStyleSheet()
{
    constexpr std::string_view rules[] = {
        "body  {  font-family: Verdana, Tahoma, Helvetica, Arial, sans-serif, \"Arial Cyr\"; font-size: 11px; "
        "color: #222222;  scrollbar-face-color: #E8E8FF;  scrollbar-highlight-color: #CCCCCC;  "
        "scrollbar-shadow-color: #CCCCCC;  scrollbar-3dlight-color: #CCCCCC;  scrollbar-arrow-color: #888888;  "
        "scrollbar-track-color: #E8E8FF;  scrollbar-darkshadow-color: #CCCCCC  }",
        "p {color: #000000; font-size: 11px; font-weight: bold; font-family: sans-serif, sans-serif}",
        "ul {color: #000000; font-size: 11px; font-weight: bold; font-family: sans-serif, sans-serif}",
        "a:link {font-size: 11px; color: #6060B0; font-weight: normal; text-decoration: none}",
        "a:visited {font-size: 11px; color: #6060B0; font-weight: normal; text-decoration: none}",
        "a:active {font-size: 11px; color: #6060B0; font-weight: normal; text-decoration: none}",
        "a:hover {font-size: 11px; color: #000000; font-weight: normal; text-decoration: none}",
    };
    std::string sheet = "  ";
    for (std::string_view rule : rules) {
        sheet += rule;
        sheet += "  ";
    }
    return sheet;
}

}  // namespace

std::string_view PageText()
{
    static const std::string page = BuildPage();
    return page;
}

std::string_view StyleSheetText()
{
    static const std::string sheet = BuildStyleSheet();
    return sheet;
}

std::string StreamPartHeader(size_t pictureLength)
{
    return "--orvelloframe\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(pictureLength) +
           "\r\n\r\n";
}

std::string TooManyAttemptsAnswer(int retryAfterSeconds)
{
    return "HTTP/1.1 429 Too Many Requests\r\nRetry-After: " + std::to_string(retryAfterSeconds) +
           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

namespace {

std::string FoundHeader(std::string_view type, size_t bodyLength)
{
    std::string header;
    header.reserve(128);
    header.append(kStatusFound).append(kServerLine).append(type);
    header.append("Content-Length: ").append(std::to_string(bodyLength)).append("\r\n");
    header.append(kConnectionClose).append(kEndOfHeader);
    return header;
}

}  // namespace

std::string AnswerHeader(Resource resource, size_t bodyLength)
{
    switch (resource) {
    case Resource::None:
        return {};
    case Resource::Page:
        return FoundHeader(kPageType, PageText().size());
    case Resource::StyleSheet:
        return FoundHeader(kStyleSheetType, StyleSheetText().size());
    case Resource::Picture:
        return FoundHeader(kPictureType, bodyLength);
    case Resource::State:
        return FoundHeader(kStateType, bodyLength);
    case Resource::Stream:
        return std::string(kStreamHeader);
    case Resource::NotFound:
        return std::string(kNotFoundAnswer);
    case Resource::MethodNotAllowed:
        return std::string(kMethodNotAllowedAnswer);
    case Resource::BadRequest:
        return std::string(kBadRequestAnswer);
    }
    return {};
}

std::string_view AnswerBody(Resource resource)
{
    switch (resource) {
    case Resource::Page:
        return PageText();
    case Resource::StyleSheet:
        return StyleSheetText();
    default:
        return {};
    }
}

}  // namespace orv::web
