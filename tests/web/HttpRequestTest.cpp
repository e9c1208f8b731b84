// The request rules without sockets: word splitting and ASCII upper-casing.
// Which answer a request gets is checked over real connections in
// PictureServerTest.

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

}  // namespace
}  // namespace orv::web
