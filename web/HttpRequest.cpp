#include "HttpRequest.h"

namespace orv::web {
namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\r' || c == '\n'; }

}  // namespace

Collected CollectState(std::string_view received)
{
    // The request line begins at the first byte that is no line end.
    const size_t start = received.find_first_not_of("\r\n");
    if (start != std::string_view::npos) {
        // An empty line is a line end right after another one, with a CR
        // between them or not.
        for (size_t pos = received.find('\n', start); pos != std::string_view::npos;
             pos = received.find('\n', pos + 1)) {
            size_t next = pos + 1;
            if (next < received.size() && received[next] == '\r')
                ++next;
            if (next < received.size() && received[next] == '\n')
                return next + 1 <= kMaxRequestBytes ? Collected::Complete : Collected::TooLarge;
        }
    }
    return received.size() >= kMaxRequestBytes ? Collected::TooLarge : Collected::Partial;
}

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

Request ParseRequest(std::string_view text, bool streamEnabled)
{
    std::vector<std::string> words = SplitWords(text, 3);
    if (words.size() < 3)
        return {};
    for (std::string& word : words)
        UpperCaseAscii(word);
    const std::string& method = words[0];
    std::string& path = words[1];
    const std::string& version = words[2];
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return {};
    if (method != "GET" && method != "HEAD")
        return {Resource::MethodNotAllowed, false};
    const bool headOnly = method == "HEAD";
    // Refresh scripts add a query to get past caches; it chooses nothing.
    if (const size_t query = path.find('?'); query != std::string::npos)
        path.resize(query);
    if (path == "/")
        return {Resource::Page, headOnly};
    if (path == "/STYLE.CSS")
        return {Resource::StyleSheet, headOnly};
    if (path == "/CURRENT.JPG")
        return {Resource::Picture, headOnly};
    if (streamEnabled && path == "/STREAM.MJPG")
        return {Resource::Stream, headOnly};
    return {Resource::NotFound, headOnly};
}

Resource MatchRequest(std::string_view text, bool streamEnabled)
{
    return ParseRequest(text, streamEnabled).resource;
}

}  // namespace orv::web
