#pragma once
// --set-password: a password for the picture server, read from the terminal
// or standard input and stored only as its salted hash.

#include "CommandLine.h"

#include <QString>

#include <cstdio>
#include <optional>

namespace orv {

// Reads the password (twice, without echo, when standard input is a
// terminal; else one line of it), stores its hash in "ServerPasswordHash"
// and options.user, when given, in "ServerUser", and says so in one line on
// standard output. An empty password, two that differ, no user name given or
// stored, or one that could never log in (spaces around it, a colon, a
// control character): one line on standard error, nothing stored,
// kExitUsage. A settings file that refuses the values: kExitFileNotWritable.
int RunSetPassword(const LongOptions& options);

// One line of in without its line end ("\n" or "\r\n"); nothing at the end
// of the input before any character, or for a line longer than most bytes
// (the rest of it is read and dropped).
std::optional<QString> ReadPasswordLine(std::FILE* in, size_t most);

}  // namespace orv
