// Text as the user reads it. Inside dormex-host every text is UTF-8; the
// plug-in's bytes (ANSI code page, or UTF-8 where the plug-in reads UTF-8)
// become UTF-8 for showing, and what is shown goes out as Unicode on a
// console and anywhere else (a file, a pipe) in the console's output code page
// with CR LF line ends, as cmd's own commands write it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "console_text.h"

enum TextEncoding { TEXT_ANSI, TEXT_UTF8 };
enum Utf16Form { NOT_UTF16, UTF16_LE, UTF16_BE };

// Windows' ANSI code page: 1251, 1252, ...
unsigned ansiCodePage();

// Valid UTF-8 with at least one character beyond ASCII.
bool isUtf8Letters(const uint8_t* bytes, uint32_t size);
// Where the first `size` bytes end without cutting a UTF-8 character short.
uint32_t utf8Boundary(const uint8_t* bytes, uint32_t size);
// UTF-8 where the bytes are UTF-8 letters, else the ANSI code page.
TextEncoding encodingOf(const uint8_t* bytes, uint32_t size);
// UTF-16 by a byte-order mark at the start of `bytes`, or by NUL bytes in every
// other place, as ASCII text spelled in UTF-16 has them.
Utf16Form utf16FormOf(const uint8_t* bytes, uint32_t size);
// A file's text as UTF-8 or ANSI: UTF-16 turned into UTF-8 (`*wasUtf16`
// says so), a UTF-8 byte-order mark dropped.
std::string fileText(const std::string& file, bool* wasUtf16);
// Every byte is a printable character of the ANSI code page (a tab counts as one).
bool isPlainAnsi(const uint8_t* bytes, uint32_t size);

// The bytes as UTF-8 text: characters as they are; invisible ones (a tab, a
// no-break space), bytes that do not convert and characters the output
// cannot show (an emoji in a code page) as \xNN, never as "?". At most `limit`
// bytes are shown, "..." after them when there are more. Quoted: in the
// language's quote marks, so that a leading or trailing blank is seen.
std::string shownText(const uint8_t* bytes, uint32_t size, TextEncoding encoding, uint32_t limit);
std::string quotedText(const uint8_t* bytes, uint32_t size, TextEncoding encoding, uint32_t limit);
// The same for text held in a string.
std::string shownAnsi(const std::string& text);
std::string quotedAnsi(const std::string& text);
std::string quotedUtf8(const std::string& text);

// The text without the blanks and tabs at either end.
std::string trimmed(const std::string& text);
// How many characters the UTF-8 text shows, for lining up columns.
uint32_t textWidth(const std::string& utf8);
// `utf8` followed by blanks up to `width` characters.
std::string paddedTo(const std::string& utf8, uint32_t width);
// The text's lines, each ended by "\n", broken to fit an 80-column window:
// at blanks, a long path after a backslash; continuations hang under a line's
// value (the text after two blanks) or two further in.
std::string wrapped(const std::string& text);

// The character at byte `at` of text in `encoding`, and its size in bytes;
// 0 where no character stands. Invisible: shows as a blank or as nothing,
// a control character included; shownText writes such bytes as \xNN.
uint32_t characterAt(const uint8_t* bytes, uint32_t size, TextEncoding encoding, uint32_t at,
                     uint32_t* length);
bool isInvisible(uint32_t character);

// UTF-16 (little- or big-endian) to UTF-8; an odd last byte is dropped.
std::string utf8FromUtf16(const uint8_t* bytes, uint32_t size, bool bigEndian);
std::string utf8FromWide(const wchar_t* text);
// The ANSI code page to UTF-8.
std::string utf8FromAnsi(const std::string& ansi);
// UTF-8 to the ANSI code page; false when a character has no exact spelling there.
bool ansiFromUtf8(const std::string& utf8, std::string* ansi);

// A command-line argument as typed (UTF-8) and as the ANSI code page spells it.
struct Argument {
    std::string typed;
    std::string ansi;  // empty when not spelled
    bool spelled;      // false: it has letters the ANSI code page lacks
};
// The arguments after the program's name, from Windows' Unicode command line:
// the ANSI one would have put look-alikes or "?" for such letters.
std::vector<Argument> commandLineArguments();
// The arguments a line typed after the program's name would give.
std::vector<Argument> argumentsOf(const std::string& line);
