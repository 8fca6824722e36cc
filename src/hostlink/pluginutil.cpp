#include "hostlink/pluginutil.h"

#include <atomic>
#include <cstring>

#include "hostlink/plugin.h"

namespace {

// Written by the start event on the host's thread, read by both threads.
std::atomic<HostCallback> hostCallback{nullptr};

}  // namespace

void encodeInt32(int32_t value, uint8_t* out) {
    const uint32_t bits = static_cast<uint32_t>(value);
    out[0] = static_cast<uint8_t>(bits);
    out[1] = static_cast<uint8_t>(bits >> 8);
    out[2] = static_cast<uint8_t>(bits >> 16);
    out[3] = static_cast<uint8_t>(bits >> 24);
}

void encodeLString(ByteView text, uint8_t* out) {
    encodeInt32(static_cast<int32_t>(text.size), out);
    if (text.size != 0) memcpy(out + 4, text.data, text.size);
}

const uint8_t* frameMessage(const uint8_t* payload, uint32_t size, uint8_t* out) {
    encodeInt32(static_cast<int32_t>(size), out);
    memcpy(out + 4, payload, size);
    return out;
}

bool decodeStartEvent(Frame frame, StartEvent* event) {
    if (!frameHas(frame, 6, 8)) return false;
    StartEvent decoded;
    decoded.callbackAddress = static_cast<uint32_t>(readInt32At(frame.bytes, 6));
    decoded.number1 = readInt32At(frame.bytes, 10);
    uint32_t next = 0;
    if (!readLStringAt(frame, 14, &decoded.text1, &next)) return false;
    if (!readLStringAt(frame, next, &decoded.settingsDir, &next)) return false;
    if (!frameHas(frame, next, 4)) return false;
    decoded.number2 = readInt32At(frame.bytes, next);
    *event = decoded;
    return true;
}

void setHostCallback(HostCallback callback) { hostCallback.store(callback); }

const uint8_t* sendToHost(const uint8_t* payload, uint32_t size) {
    const HostCallback callback = hostCallback.load();
    if (callback == nullptr) return nullptr;
    // Each send frames into its own stack buffer, so the two sending threads
    // never overwrite a frame the host is still reading.
    uint8_t framed[4 + 2];
    if (size > sizeof framed - 4) return nullptr;
    return callback(frameMessage(payload, size, framed));
}

int32_t queryNetState() {
    static const uint8_t payload[] = {KIND_QUERY, Q_NET_STATE};
    const uint8_t* reply = sendToHost(payload, sizeof payload);
    return reply != nullptr ? readInt32At(reply, 5) : 0;
}

void requestConnect() {
    static const uint8_t payload[] = {KIND_COMMAND, CMD_CONNECT};
    sendToHost(payload, sizeof payload);
}

void requestDisconnect() {
    static const uint8_t payload[] = {KIND_COMMAND, CMD_DISCONNECT};
    sendToHost(payload, sizeof payload);
}
