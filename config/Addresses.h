#pragma once
// Where the program's authors are found: the Help menu's web site and e-mail
// commands, the about box and the picture server's page all take them from
// here.

namespace orv {

inline constexpr const char* kWebSite = "https://orvello.example.org/";
inline constexpr const char* kAuthorMail = "orvello-authors@example.org";

}  // namespace orv
