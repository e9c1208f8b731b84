#pragma once
// The picture server's request rules as plain functions: when the bytes of a
// connection hold a whole request, and which answer that request gets.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::web {

// What a request asks for.
enum class Resource {
    None,              // no version HTTP/1.1 or HTTP/1.0, or fewer than three words: no answer at all
    Page,              // "/"
    StyleSheet,        // "/STYLE.CSS"
    Picture,           // "/CURRENT.JPG", "/SNAPSHOT", "/?action=snapshot"
    Stream,            // "/STREAM.MJPG", "/STREAM", "/?action=stream" while the stream is on
    State,             // "/STATE": what the web camera is doing, as JSON
    NotFound,          // any other path
    MethodNotAllowed,  // a method other than GET and HEAD
    BadRequest,        // a path with a malformed percent escape or an escaped NUL
};

// A request taken apart: the resource, and whether only the header of the
// answer is wanted (HEAD).
struct Request {
    Resource resource = Resource::None;
    bool headOnly = false;
};

// The most bytes a request may take up to and including the empty line that
// ends its header.
inline constexpr size_t kMaxRequestBytes = 8192;

enum class Collected {
    Partial,   // more is to come
    Complete,  // the header has ended
    TooLarge,  // kMaxRequestBytes have arrived and the header has not ended
};

// Whether the bytes that have arrived so far hold a whole request: a header
// ended by an empty line, lines ending in CR LF or LF alone. Empty lines
// before the request line do not end it.
Collected CollectState(std::string_view received);

// Splits text into at most maxWords words. Blank, CR and LF separate words
// and runs of them yield no empty word; the text ends at its first NUL byte.
// A single or double quote opens a stretch that runs to the next quote of the
// same kind (or to the end of the text): separators inside it do not split,
// and the quotes stay part of the word.
std::vector<std::string> SplitWords(std::string_view text, size_t maxWords = static_cast<size_t>(-1));

// a to z become A to Z; every other byte stays as it is.
void UpperCaseAscii(std::string& word);

// The path a request target names, percent escapes decoded: the target as it
// is (the origin form, "/current.jpg"), or of the absolute form that proxies
// send ("http://host:port/current.jpg", scheme in any case) the part from the
// first slash after the host ("/" without one). Nothing from the first
// question mark on. Empty for a malformed escape ("%4", "%G1") or an escaped
// NUL ("%00").
std::optional<std::string> TargetPath(std::string_view target);

// The answer for a whole request: words 0, 1 and 2 are the method, the
// target and the version. Method and version are compared after ASCII
// upper-casing, the target's path (TargetPath) likewise after its escapes
// are decoded. The version must be "HTTP/1.1" or "HTTP/1.0" (both are
// answered alike); the method "GET" or "HEAD" (any other gets
// MethodNotAllowed); the path chooses the resource, and one that cannot be
// decoded gets BadRequest. With the stream on, "/STREAM.MJPG" and "/STREAM"
// are the live stream; with it off, those paths are ones like any other.
// The path "/" with the query action=snapshot is the picture, with
// action=stream the stream (when it is on, else not found); with any other
// query or none it is the page.
Request ParseRequest(std::string_view text, bool streamEnabled = false);
// The resource alone.
Resource MatchRequest(std::string_view text, bool streamEnabled = false);

}  // namespace orv::web
