// Any bytes as what a client sent: the word splitting keeps its promises and
// the answer chosen does not depend on letter case or on line ends before the
// request; turning the stream on changes only the answers that become it.
#include "web/HttpRequest.h"
#include "web/Responses.h"

#include <algorithm>
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
    Check(AnswerPieces(resource).empty() == (resource == Resource::None));
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
    return 0;
}
