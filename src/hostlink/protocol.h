// What the plug-in and the host agree on: message kinds, event codes, request
// codes, the connection states, the plug-in's name and the callback's type.
#pragma once

#include <cstdint>

#include "platform/callconv.h"

// First payload byte of every framed message.
enum : uint8_t {
    KIND_QUERY = 1,    // plug-in asks the host for a value
    KIND_ANSWER = 2,   // plug-in answers the start event
    KIND_EVENT = 3,    // host tells the plug-in something
    KIND_COMMAND = 5,  // plug-in asks the host to act
};

// Second payload byte of an event.
enum : uint8_t {
    EV_START = 1,
    EV_STOP = 2,
    EV_SETTINGS = 3,
    EV_TEXT = 6,
};

// Second payload byte of a query or command.
enum : uint8_t {
    Q_NET_STATE = 14,
    CMD_CONNECT = 9,
    CMD_DISCONNECT = 10,
};

// Connection states the host reports.
enum : int32_t {
    NET_OFFLINE = 1,
    NET_ONLINE = 2,
};

constexpr int32_t PLUGIN_INTERFACE_VERSION = 4;
constexpr char PLUGIN_NAME[] = "Ivra Dormex v0.1+ mod";

// The host's callback: a framed message in, the address of a framed reply out.
typedef const uint8_t*(DORMEX_STDCALL* HostCallback)(const uint8_t* framed);
