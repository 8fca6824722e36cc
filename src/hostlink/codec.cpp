#include "hostlink/codec.h"

#include <cstring>

#include "platform/callconv.h"

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

DORMEX_NO_BUFFER bool decodeStartEvent(Frame frame, StartEvent* event) {
    if (!frameHas(frame, 6, 8)) return false;
    StartEvent decoded;
    decoded.callbackAddress = static_cast<uint32_t>(readInt32At(frame.bytes, 6));
    ByteView unusedText;
    uint32_t next = 0;
    if (!readLStringAt(frame, 14, &unusedText, &next)) return false;
    if (!readLStringAt(frame, next, &decoded.settingsDir, &next)) return false;
    // The last int32 is not used, but a frame too short for it is not a start event.
    if (!frameHas(frame, next, 4)) return false;
    *event = decoded;
    return true;
}
