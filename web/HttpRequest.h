#pragma once
// The picture server's request rules as plain functions: what a client sent
// at its read event, split into words, decides which answer it gets.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orv::web {

// What a request asks for.
enum class Resource {
    None,        // not a GET request with version HTTP/1.1: no answer at all
    Page,        // "/"
    StyleSheet,  // "/STYLE.CSS"
    Picture,     // "/CURRENT.JPG"
    Stream,      // "/STREAM.MJPG" while the stream is on, with HTTP/1.1 or HTTP/1.0
    NotFound,    // any other path
};

// Splits text into at most maxWords words. Blank, CR and LF separate words
// and runs of them yield no empty word; the text ends at its first NUL byte.
// A single or double quote opens a stretch that runs to the next quote of the
// same kind (or to the end of the text): separators inside it do not split,
// and the quotes stay part of the word.
std::vector<std::string> SplitWords(std::string_view text, size_t maxWords = static_cast<size_t>(-1));

// a to z become A to Z; every other byte stays as it is.
void UpperCaseAscii(std::string& word);

// The answer for what arrived at a read event, taken as the whole request:
// words 0, 1 and 2 are compared after ASCII upper-casing; word 0 must be
// "GET" and word 2 "HTTP/1.1", word 1 chooses the resource. With the stream
// on, "/STREAM.MJPG" is the live stream, and for that path alone version
// "HTTP/1.0" is accepted too; with it off, that path is one like any other.
Resource MatchRequest(std::string_view text, bool streamEnabled = false);

}  // namespace orv::web
