// Paths as users hand them to the checker: a line typed or pasted at the
// prompt, the blanks and dots Windows drops, a shortcut to the file, and a
// zip archive that Explorer shows as a folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host_text.h"

// The paths a line typed at the prompt names. A leading "dormex-host" and
// "check", as the README's commands read, are dropped. A line with quotes is
// split as cmd splits it; one without is one path, as Explorer's address bar
// gives it, unless it is not there and each of its words is.
std::vector<Argument> typedPaths(const std::string& line);

// A path as the user meant it, from what copying and pasting it gives: the
// invisible marks a copy brings along (Properties > Security puts one before
// a path) dropped, a file: address as the path it names, and %APPDATA% or
// $env:APPDATA as cmd and PowerShell expand them, where nothing is there by
// the name as typed.
Argument pathAsMeant(const Argument& argument);
// cmd splits a path that is not in quotes at its blanks: words that are not
// there alone but are as one path become that path, marked in `*joined`.
std::vector<Argument> joinedAtBlanks(const std::vector<Argument>& words, std::vector<bool>* joined);

// The path as Windows opens it: blanks and dots at the end of its last name
// dropped ("dormex.ini. " opens dormex.ini).
std::string asWindowsOpens(const std::string& path);

// The full path (the current folder's in front of a relative one), in the
// ANSI code page, as a host hands the plug-in its folder.
std::string fullPathOf(const std::string& path);

enum ShortcutForm { NOT_A_SHORTCUT, SHORTCUT, UNREADABLE_SHORTCUT };
// A shell link file (.lnk): where it points, from its own record (the local
// path, else the network path, else the path relative to the link).
ShortcutForm shortcutTarget(const std::string& path, Argument* target);

// The first `size` bytes of the file at most; "" when it cannot be read.
std::string headOfFile(const std::string& path, uint32_t size);
// A zip archive, by its first bytes.
bool isZipArchive(const std::string& path);
// For a path that is not there: the zip archive it lies inside, as Explorer
// shows one as a folder; "" when it lies in none.
std::string archiveAbove(const std::string& path);
