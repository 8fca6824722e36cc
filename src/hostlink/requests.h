// The three requests the plug-in sends the host through its callback.
#pragma once

#include <atomic>
#include <cstdint>

#include "hostlink/protocol.h"

// The way to the host: the callback the start event handed over. Written on
// the host's thread, read by both threads at every request.
struct HostLink {
    std::atomic<HostCallback> callback;
};

// Frames `payload` in the caller's own buffer, hands it to the link's callback
// and returns the host's reply; null when there is no callback.
const uint8_t* sendToHost(const HostLink& link, const uint8_t* payload, uint32_t size);

// Asks the host for its connection state; 0 when it gave no reply.
int32_t queryNetState(const HostLink& link);
void requestConnect(const HostLink& link);
void requestDisconnect(const HostLink& link);
