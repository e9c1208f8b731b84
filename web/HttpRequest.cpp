#include "HttpRequest.h"

namespace orv::web {
namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\r' || c == '\n'; }

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

// Text with its percent escapes decoded; empty for a malformed escape or an
// escaped NUL.
std::optional<std::string> Decoded(std::string_view text)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0 || (high == 0 && low == 0))
            return std::nullopt;
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return decoded;
}

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

std::optional<std::string> TargetPath(std::string_view target)
{
    // Proxies name the server in the target; the path follows the host.
    for (const std::string_view scheme : {"http://", "https://"}) {
        if (!StartsWithNoCase(target, scheme))
            continue;
        target.remove_prefix(scheme.size());
        const size_t path = target.find_first_of("/?");
        target = path == std::string_view::npos || target[path] == '?' ? std::string_view("/") : target.substr(path);
        break;
    }
    // Refresh scripts add a query to get past caches; it chooses nothing
    // but the action of "/".
    return Decoded(target.substr(0, target.find('?')));
}

std::optional<std::string> TargetAction(std::string_view target)
{
    const size_t question = target.find('?');
    if (question == std::string_view::npos)
        return std::nullopt;
    std::string_view query = target.substr(question + 1);
    while (!query.empty()) {
        const size_t end = query.find('&');
        const std::string_view parameter = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
        const size_t equals = parameter.find('=');
        std::optional<std::string> name = Decoded(parameter.substr(0, equals));
        if (!name)
            continue;
        UpperCaseAscii(*name);
        if (*name != "ACTION")
            continue;
        std::optional<std::string> value =
            Decoded(equals == std::string_view::npos ? std::string_view() : parameter.substr(equals + 1));
        if (value)
            UpperCaseAscii(*value);
        return value;
    }
    return std::nullopt;
}

Request ParseRequest(std::string_view text, bool streamEnabled)
{
    std::vector<std::string> words = SplitWords(text, 3);
    if (words.size() < 3)
        return {};
    std::string& method = words[0];
    const std::string& target = words[1];
    std::string& version = words[2];
    UpperCaseAscii(method);
    UpperCaseAscii(version);
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return {};
    if (method != "GET" && method != "HEAD")
        return {Resource::MethodNotAllowed, false};
    const bool headOnly = method == "HEAD";
    std::optional<std::string> decoded = TargetPath(target);
    if (!decoded)
        return {Resource::BadRequest, headOnly};
    std::string& path = *decoded;
    UpperCaseAscii(path);
    if (path == "/") {
        // The page stays the page with any query but these two.
        const std::optional<std::string> action = TargetAction(target);
        if (action == "SNAPSHOT")
            path = "/CURRENT.JPG";
        else if (action == "STREAM")
            path = "/STREAM.MJPG";
        else
            return {Resource::Page, headOnly};
    }
    if (path == "/STYLE.CSS")
        return {Resource::StyleSheet, headOnly};
    if (path == "/CURRENT.JPG" || path == "/SNAPSHOT")
        return {Resource::Picture, headOnly};
    if (streamEnabled && (path == "/STREAM.MJPG" || path == "/STREAM"))
        return {Resource::Stream, headOnly};
    if (path == "/STATE")
        return {Resource::State, headOnly};
    return {Resource::NotFound, headOnly};
}

Resource MatchRequest(std::string_view text, bool streamEnabled)
{
    return ParseRequest(text, streamEnabled).resource;
}

}  // namespace orv::web
