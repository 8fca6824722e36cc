// dormex-host check: what the plug-in will make of a settings file, read with
// the plug-in's own loader and decided by its own start sequence.
#pragma once

#include "host_text.h"

// Checks FILE, the dormex.ini of DIR, or ./dormex.ini when `argument` is null,
// and prints the verdict in the language in use. Returns 0 for a valid file, 1 for one the plug-in would
// replace, 2 for one it cannot read. Reads only; changes and creates nothing.
int checkSettingsFile(const Argument* argument);
