// The library's entry point, the one function the host calls.
#pragma once

#include <cstdint>

#include "platform/callconv.h"

// Takes a framed event from the host; returns the framed start answer for a
// start event and null for everything else, malformed frames included.
extern "C" const uint8_t* DORMEX_STDCALL pluginFun(const uint8_t* data);

// Releases the module's strings; called when the library is unloaded.
void releaseModuleState();
