// The library's entry point, the one function the host calls, and the
// module's one state.
#pragma once

#include <cstdint>

#include "hostlink/protocol.h"
#include "platform/callconv.h"
#include "session/plugin_session.h"

// The start answer: length, kind, the name as a length-prefixed string, the
// interface version.
constexpr uint32_t START_ANSWER_SIZE = 4 + 1 + 4 + (sizeof PLUGIN_NAME - 1) + 4;

// All the state the module keeps between calls, in one place. Zero at load;
// the library does nothing of its own before the first event.
struct ModuleState {
    PluginSession session;
    bool prepared;  // the load made the session's locks: only then has an unload anything to give back
};

extern ModuleState moduleState;

// Takes a framed event from the host; returns the framed start answer for a
// start event and null for everything else, malformed frames included.
extern "C" const uint8_t* DORMEX_STDCALL pluginFun(const uint8_t* data);

// Gets the module's state ready when the library is loaded; false when the
// system could not, and the load is to fail.
bool prepareModuleState();
// Releases the module's strings and removes what temporary files it can.
void releaseModuleState();
// At unload: releases the module's state and gives back what
// prepareModuleState() took. Does nothing after a load that failed, which
// Windows also tells as an unload.
void unloadModuleState();
