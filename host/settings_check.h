// dormex-host check: what the plug-in will make of a settings file, read with
// the plug-in's own loader and decided by its own start sequence.
#pragma once

#include <vector>

#include "host_text.h"

// Checks each FILE or the dormex.ini of each DIR in turn, or ./dormex.ini when
// there are none, and prints the verdicts in the language in use. Returns the
// worst: 0 for a valid file, 1 for one the plug-in would replace, 2 for one it
// cannot read. Reads only; changes and creates nothing.
int checkSettingsFiles(const std::vector<Argument>& arguments);
