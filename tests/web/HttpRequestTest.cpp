// The request rules without sockets: when a request is whole, word
// splitting, ASCII upper-casing and what a request asks for. The answers'
// bytes are checked over real connections in PictureServerTest.

#include "web/HttpRequest.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace orv::web {
namespace {

using namespace std::string_view_literals;
using Words = std::vector<std::string>;

TEST(HttpRequestTest, SplitsWordsAtBlanksAndLineEndsKeepingQuotedStretches)
{
    struct Case {
        std::string_view text;
        size_t maxWords;
        Words words;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", 3, {"GET", "/", "HTTP/1.1"}},
        {"\r\n\r\nGET  /\r\n", 9, {"GET", "/"}},
        {"  a \r b  ", 9, {"a", "b"}},
        {"a\tb c", 9, {"a\tb", "c"}},
        {"a\"b c\"d e", 9, {"a\"b c\"d", "e"}},
        {"'x \" y' z", 9, {"'x \" y'", "z"}},
        {"\"never closed\r\nat all", 9, {"\"never closed\r\nat all"}},
        {"ab\0cd ef"sv, 9, {"ab"}},
        {"\0GET / HTTP/1.1"sv, 9, {}},
        {"", 9, {}},
        {"a b c d", 2, {"a", "b"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SplitWords(c.text, c.maxWords), c.words) << c.text;
}

TEST(HttpRequestTest, UpperCasesAsciiLettersOnly)
{
    std::string word = "get /current.jpg?\xE0z~";
    UpperCaseAscii(word);
    EXPECT_EQ(word, "GET /CURRENT.JPG?\xE0Z~");
}

TEST(HttpRequestTest, RequestIsWholeAtItsFirstEmptyLineWithinTheBound)
{
    const std::string line = "GET / HTTP/1.1\r\n";
    const auto padded = [&](size_t total) {
        return line + "X: " + std::string(total - line.size() - 3 - 4, 'x') + "\r\n\r\n";
    };
    struct Case {
        std::string text;
        Collected state;
    };
    const Case cases[] = {
        {"", Collected::Partial},
        {"\r\n\r\n\n", Collected::Partial},  // empty lines before the request line
        {"GET / HTTP/1.1", Collected::Partial},
        {"GET / HTTP/1.1\r\n", Collected::Partial},
        {"GET / HTTP/1.1\r\nHost: a\r\n\r", Collected::Partial},
        {"GET / HTTP/1.1\r\n\r\n", Collected::Complete},
        {"GET / HTTP/1.1\n\n", Collected::Complete},
        {"GET / HTTP/1.1\nHost: a\r\n\n", Collected::Complete},
        {"\r\nGET / HTTP/1.1\r\n\r\nmore", Collected::Complete},
        {"GET / HTTP/1.1\r\n\r\r\n", Collected::Partial},
        {padded(8192), Collected::Complete},
        {padded(8193), Collected::TooLarge},
        {std::string(8191, 'a'), Collected::Partial},
        {std::string(8192, 'a'), Collected::TooLarge},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CollectState(c.text), c.state) << c.text.substr(0, 40) << " (" << c.text.size() << " bytes)";
}

TEST(HttpRequestTest, MethodPathAndVersionChooseTheAnswer)
{
    struct Case {
        std::string_view text;
        bool stream;
        Resource resource;
        bool headOnly;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1", false, Resource::Page, false},
        {"get /style.css http/1.0", false, Resource::StyleSheet, false},
        {"HEAD /Current.Jpg?t=123 HTTP/1.1", false, Resource::Picture, true},
        {"GET /current.jpg?/ HTTP/1.1", false, Resource::Picture, false},
        {"GET /current.jpg/ HTTP/1.1", false, Resource::NotFound, false},
        {"GET /stream.mjpg?x HTTP/1.0", true, Resource::Stream, false},
        {"GET /stream.mjpg HTTP/1.1", false, Resource::NotFound, false},
        {"HEAD /nothing HTTP/1.1", false, Resource::NotFound, true},
        {"POST / HTTP/1.1", false, Resource::MethodNotAllowed, false},
        {"DELETE /current.jpg HTTP/1.0", false, Resource::MethodNotAllowed, false},
        {"GET / HTTP/1.2", false, Resource::None, false},
        {"GET / HTTP/1.1x", false, Resource::None, false},
        {"POST / FTP", false, Resource::None, false},
        {"GET /", false, Resource::None, false},
        // The absolute form that proxies send: the path after the host.
        {"GET http://cam:8080/current.jpg HTTP/1.1", false, Resource::Picture, false},
        {"GET HTTP://Cam/style.css?x HTTP/1.0", false, Resource::StyleSheet, false},
        {"HEAD https://cam/stream.mjpg HTTP/1.1", true, Resource::Stream, true},
        {"GET http://cam:8080 HTTP/1.1", false, Resource::Page, false},
        {"GET http://cam?/current.jpg HTTP/1.1", false, Resource::Page, false},
        {"GET cam/current.jpg HTTP/1.1", false, Resource::NotFound, false},
        // Percent escapes are decoded before the path is matched; in the
        // query they choose nothing.
        {"GET /%43URRENT.JPG HTTP/1.1", false, Resource::Picture, false},
        {"GET /%63urrent%2ejpg HTTP/1.1", false, Resource::Picture, false},
        {"GET http://cam/%73tream.mjpg HTTP/1.1", true, Resource::Stream, false},
        {"GET /current.jpg%3F HTTP/1.1", false, Resource::NotFound, false},
        {"GET /%2F HTTP/1.1", false, Resource::NotFound, false},
        {"GET /?%00%zz HTTP/1.1", false, Resource::Page, false},
        {"GET /%00 HTTP/1.1", false, Resource::BadRequest, false},
        {"HEAD /current.jpg%4 HTTP/1.1", false, Resource::BadRequest, true},
        {"GET /%G1 HTTP/1.1", false, Resource::BadRequest, false},
        {"GET /x% HTTP/1.1", false, Resource::BadRequest, false},
        {"POST /%00 HTTP/1.1", false, Resource::MethodNotAllowed, false},
        // The names that printer hosts and home automation ask for.
        {"GET /?action=snapshot HTTP/1.1", false, Resource::Picture, false},
        {"HEAD /?x=1&action=Snapshot HTTP/1.0", false, Resource::Picture, true},
        {"GET /?action=stream HTTP/1.1", true, Resource::Stream, false},
        {"GET /?action=stream HTTP/1.1", false, Resource::NotFound, false},
        {"GET /?%41CTION=%73tream HTTP/1.1", true, Resource::Stream, false},
        {"GET /?action=snapshot&action=stream HTTP/1.1", true, Resource::Picture, false},
        {"GET /?action= HTTP/1.1", false, Resource::Page, false},
        {"GET /?actions=snapshot HTTP/1.1", false, Resource::Page, false},
        {"GET /?action=%00 HTTP/1.1", false, Resource::Page, false},
        {"GET http://cam/?action=snapshot HTTP/1.1", false, Resource::Picture, false},
        {"GET /current.jpg?action=stream HTTP/1.1", true, Resource::Picture, false},
        {"GET /snapshot HTTP/1.0", false, Resource::Picture, false},
        {"GET /Stream HTTP/1.1", true, Resource::Stream, false},
        {"GET /stream HTTP/1.1", false, Resource::NotFound, false},
        {"HEAD /state?t=1 HTTP/1.0", false, Resource::State, true},
        {"GET /%53tate HTTP/1.1", false, Resource::State, false},
        {"GET /state/ HTTP/1.1", false, Resource::NotFound, false},
        {"POST /state HTTP/1.1", false, Resource::MethodNotAllowed, false},
    };
    for (const Case& c : cases) {
        const Request request = ParseRequest(c.text, c.stream);
        EXPECT_EQ(request.resource, c.resource) << c.text;
        EXPECT_EQ(request.headOnly, c.headOnly) << c.text;
        EXPECT_EQ(MatchRequest(c.text, c.stream), c.resource) << c.text;
    }
}

}  // namespace
}  // namespace orv::web
