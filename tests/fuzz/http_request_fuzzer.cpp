// Any bytes as what a client sent: the word splitting keeps its promises, a
// decoded path never holds a NUL, and the answer chosen does not depend on
// letter case or on line ends before the request; turning the stream on
// changes only the answers that become it.
// Fed in pieces of any sizes, the bytes make a whole request at the same
// byte as when they come at once, and a request never outgrows its bound.
#include "web/HttpRequest.h"
#include "web/Responses.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\r' || c == '\n'; }

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace orv::web;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string_view beforeNul = text.substr(0, text.find('\0'));

    const auto words = SplitWords(text);
    size_t from = 0;
    for (const std::string& word : words) {
        // Each word is a stretch of the text before the NUL, in order, and
        // starts with no separator; a separator inside it lies in a quoted
        // stretch, so a quote comes before it.
        Check(!word.empty() && !IsSeparator(word.front()));
        const size_t at = beforeNul.find(word, from);
        Check(at != std::string_view::npos);
        from = at + word.size();
        const size_t firstSeparator = word.find_first_of(" \r\n");
        if (firstSeparator != std::string::npos)
            Check(word.find_first_of("\"'") < firstSeparator);
    }
    const auto firstThree = SplitWords(text, 3);
    Check(firstThree.size() == std::min<size_t>(words.size(), 3));
    for (size_t i = 0; i < firstThree.size(); ++i)
        Check(firstThree[i] == words[i]);

    const Resource resource = MatchRequest(text);
    Check(resource == Resource::None || words.size() >= 3);
    // A decoded path holds no NUL; only a target with an escape is refused.
    if (words.size() >= 2) {
        const auto path = TargetPath(words[1]);
        Check(!path || path->find('\0') == std::string::npos);
        Check(path || words[1].find('%') != std::string::npos);
        Check(resource != Resource::BadRequest || !path);
    }
    Check(AnswerHeader(resource).empty() == (resource == Resource::None));
    if (resource == Resource::Page || resource == Resource::StyleSheet) {
        const std::string header = AnswerHeader(resource);
        Check(header.find("\r\nContent-Length: " + std::to_string(AnswerBody(resource).size()) + "\r\n") !=
              std::string::npos);
    }
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    Check(MatchRequest(lower) == resource);
    Check(MatchRequest("\r\n\r\n" + std::string(text)) == resource);
    // The stream changes the answer for its own path alone.
    const Resource withStream = MatchRequest(text, true);
    Check(withStream == resource || withStream == Resource::Stream);
    Check(resource != Resource::Stream);
    Check(MatchRequest(lower, true) == withStream);

    // The bytes in pieces whose sizes come from the bytes themselves, as a
    // server collects them read by read: the first piece after which the
    // request is whole (or too large) is the one that holds the byte where
    // it becomes so when all are there at once.
    size_t wholeAt = 0;  // the shortest prefix that is no longer Partial
    Collected whole = Collected::Partial;
    for (size_t length = 1; length <= size && length <= kMaxRequestBytes + 1; ++length) {
        whole = CollectState(text.substr(0, length));
        if (whole != Collected::Partial) {
            wholeAt = length;
            break;
        }
    }
    Check(whole != Collected::Partial || size < kMaxRequestBytes);
    std::string collected;
    uint32_t seed = size > 0 ? data[0] : 0;
    size_t at = 0;
    Collected state = Collected::Partial;
    while (at < size && state == Collected::Partial) {
        seed = seed * 1664525u + 1013904223u;
        const size_t piece = std::min<size_t>(size - at, 1 + (seed >> 24) % 64);
        // The server keeps no more than the bound.
        collected.append(text.substr(at, std::min(piece, kMaxRequestBytes - collected.size())));
        at += piece;
        state = CollectState(collected);
    }
    if (state != Collected::Partial) {
        Check(state == whole);
        Check(at >= wholeAt && at - wholeAt < 64);
        // Once whole, more bytes keep it so, with the same request.
        Check(CollectState(text) == whole);
    }
    const Request request = ParseRequest(text);
    Check(request.resource == resource);
    Check(!request.headOnly || (resource != Resource::None && resource != Resource::MethodNotAllowed));
    return 0;
}
