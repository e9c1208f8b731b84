#include "HttpRequest.h"

namespace orv::web {
namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\r' || c == '\n'; }

}  // namespace

std::vector<std::string> SplitWords(std::string_view text, size_t maxWords)
{
    if (const size_t nul = text.find('\0'); nul != std::string_view::npos)
        text = text.substr(0, nul);
    std::vector<std::string> words;
    size_t pos = 0;
    while (words.size() < maxWords) {
        while (pos < text.size() && IsSeparator(text[pos]))
            ++pos;
        if (pos == text.size())
            break;
        const size_t start = pos;
        while (pos < text.size() && !IsSeparator(text[pos])) {
            const char c = text[pos++];
            if (c == '"' || c == '\'') {
                const size_t close = text.find(c, pos);
                pos = close == std::string_view::npos ? text.size() : close + 1;
            }
        }
        words.emplace_back(text.substr(start, pos - start));
    }
    return words;
}

void UpperCaseAscii(std::string& word)
{
    for (char& c : word) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
}

Resource MatchRequest(std::string_view text, bool streamEnabled)
{
    std::vector<std::string> words = SplitWords(text, 3);
    if (words.size() < 3)
        return Resource::None;
    for (std::string& word : words)
        UpperCaseAscii(word);
    const std::string& path = words[1];
    const std::string& version = words[2];
    if (words[0] != "GET")
        return Resource::None;
    // Players and home-automation tools still ask for a stream with 1.0.
    if (streamEnabled && path == "/STREAM.MJPG" && (version == "HTTP/1.1" || version == "HTTP/1.0"))
        return Resource::Stream;
    if (version != "HTTP/1.1")
        return Resource::None;
    if (path == "/")
        return Resource::Page;
    if (path == "/STYLE.CSS")
        return Resource::StyleSheet;
    if (path == "/CURRENT.JPG")
        return Resource::Picture;
    return Resource::NotFound;
}

}  // namespace orv::web
