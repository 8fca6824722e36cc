#include "hostlink/requests.h"

#include "hostlink/codec.h"

const uint8_t* sendToHost(const HostLink& link, const uint8_t* payload, uint32_t size) {
    const HostCallback callback = link.callback.load();
    if (callback == nullptr) return nullptr;
    // Each send frames into its own stack buffer, so the two sending threads
    // never overwrite a frame the host is still reading.
    uint8_t framed[4 + 2];
    if (size > sizeof framed - 4) return nullptr;
    return callback(frameMessage(payload, size, framed));
}

int32_t queryNetState(const HostLink& link) {
    static const uint8_t payload[] = {KIND_QUERY, Q_NET_STATE};
    const uint8_t* reply = sendToHost(link, payload, sizeof payload);
    return reply != nullptr ? readInt32At(reply, 5) : 0;
}

void requestConnect(const HostLink& link) {
    static const uint8_t payload[] = {KIND_COMMAND, CMD_CONNECT};
    sendToHost(link, payload, sizeof payload);
}

void requestDisconnect(const HostLink& link) {
    static const uint8_t payload[] = {KIND_COMMAND, CMD_DISCONNECT};
    sendToHost(link, payload, sizeof payload);
}
