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

uint8_t readByteAt(const uint8_t* message, uint32_t offset) { return message[offset]; }

int32_t readInt32At(const uint8_t* message, uint32_t offset) {
    const uint8_t* p = message + offset;
    const uint32_t bits = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
    return static_cast<int32_t>(bits);
}

bool openFrame(const uint8_t* message, Frame* frame) {
    if (message == nullptr) return false;
    const int32_t payload = readInt32At(message, 0);
    if (payload <= 0) return false;
    frame->bytes = message;
    frame->size = 4 + static_cast<uint32_t>(payload);
    return true;
}

bool frameHas(Frame frame, uint32_t offset, uint32_t width) {
    return offset <= frame.size && width <= frame.size - offset;
}

bool readLStringAt(Frame frame, uint32_t offset, ByteView* text, uint32_t* next) {
    if (!frameHas(frame, offset, 4)) return false;
    const int32_t count = readInt32At(frame.bytes, offset);
    const uint32_t size = count > 0 ? static_cast<uint32_t>(count) : 0;
    if (!frameHas(frame, offset + 4, size)) return false;
    text->data = frame.bytes + offset + 4;
    text->size = size;
    *next = offset + 4 + size;
    return true;
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

bool decodeTextEvent(Frame frame, ByteView* text) {
    uint32_t next = 0;
    return readLStringAt(frame, 22, text, &next);
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
