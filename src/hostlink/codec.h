// Encoding, framing and decoding of the messages exchanged with the host.
//
// Every reader takes the frame's bounds: a field that would run past the
// payload length the frame announces is not read, and the reader says so.
#pragma once

#include <cstdint>

#include "bytes.h"

// A received frame: its first byte and the number of bytes it holds in all
// (4 + the announced payload length).
struct Frame {
    const uint8_t* bytes;
    uint32_t size;
};

// Writes the little-endian int32 encoding of `value` at `out` (4 bytes).
void encodeInt32(int32_t value, uint8_t* out);
// Writes the count and the bytes of `text` at `out` (4 + size bytes).
void encodeLString(ByteView text, uint8_t* out);
// Writes the framed message for `payload` into `out` (4 + size bytes) and
// returns `out`, the address of the length field.
const uint8_t* frameMessage(const uint8_t* payload, uint32_t size, uint8_t* out);

// Unchecked little-endian reads, for frames whose bounds were already checked.
// Inline: every event passes through them, and the host calls once per text.
inline uint8_t readByteAt(const uint8_t* message, uint32_t offset) { return message[offset]; }

inline int32_t readInt32At(const uint8_t* message, uint32_t offset) {
    const uint8_t* p = message + offset;
    const uint32_t bits = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
    return static_cast<int32_t>(bits);
}

// Opens the frame at `message`: false for null or a payload length of zero or less.
inline bool openFrame(const uint8_t* message, Frame* frame) {
    if (message == nullptr) return false;
    const int32_t payload = readInt32At(message, 0);
    if (payload <= 0) return false;
    frame->bytes = message;
    frame->size = 4 + static_cast<uint32_t>(payload);
    return true;
}
// True when `width` bytes at `offset` lie inside the frame.
inline bool frameHas(Frame frame, uint32_t offset, uint32_t width) {
    return offset <= frame.size && width <= frame.size - offset;
}
// Reads the length-prefixed string at `offset`. A count of zero or less gives
// the empty text. False when the count or the text runs past the frame.
// `*next` receives the offset right after the text.
inline bool readLStringAt(Frame frame, uint32_t offset, ByteView* text, uint32_t* next) {
    if (!frameHas(frame, offset, 4)) return false;
    const int32_t count = readInt32At(frame.bytes, offset);
    const uint32_t size = count > 0 ? static_cast<uint32_t>(count) : 0;
    if (!frameHas(frame, offset + 4, size)) return false;
    text->data = frame.bytes + offset + 4;
    text->size = size;
    *next = offset + 4 + size;
    return true;
}

// The fields of a start event that the plug-in uses; the two host fields it
// does not use (an int32 and a string before the directory, an int32 after
// it) are only stepped over.
struct StartEvent {
    uint32_t callbackAddress;
    ByteView settingsDir;
};

// Decodes a start event; false when any field runs past the frame.
bool decodeStartEvent(Frame frame, StartEvent* event);
// Decodes the text of a text event; false when it runs past the frame.
inline bool decodeTextEvent(Frame frame, ByteView* text) {
    uint32_t next = 0;
    return readLStringAt(frame, 22, text, &next);
}
