// Text out as the user reads it: Unicode on a console; anywhere else (a file,
// a pipe) in the console's output code page with CR LF line ends, as cmd's own
// commands write it. Shared by dormex-host and the tests kit's programs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Writes UTF-8 text to stdout or stderr as the user reads it.
void writeText(FILE* stream, const std::string& utf8);
// Whether standard output shows the character, or every character of the
// UTF-8 text, as itself: a console does; a code page only its own letters.
bool outputShowsCharacter(uint32_t character);
bool outputShows(const std::string& utf8);
// UTF-8 as UTF-16; empty when it is not valid UTF-8.
std::wstring wideFromUtf8(const std::string& text);
