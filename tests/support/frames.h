// Builds the host's event frames byte by byte, for every kind of test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace frames {

typedef std::vector<uint8_t> Bytes;

inline void putInt32(Bytes& out, int32_t value) {
    const uint32_t bits = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(bits >> shift));
}

inline void putText(Bytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }

inline void putLString(Bytes& out, const std::string& text) {
    putInt32(out, static_cast<int32_t>(text.size()));
    putText(out, text);
}

// Prefixes `payload` with its length, as the host frames every message.
inline Bytes frame(const Bytes& payload) {
    Bytes out;
    putInt32(out, static_cast<int32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

inline Bytes startEvent(uint32_t callbackAddress, const std::string& settingsDir,
                        const std::string& text1 = "", int32_t number1 = 0, int32_t number2 = 0) {
    Bytes payload = {3, 1};
    putInt32(payload, static_cast<int32_t>(callbackAddress));
    putInt32(payload, number1);
    putLString(payload, text1);
    putLString(payload, settingsDir);
    putInt32(payload, number2);
    return frame(payload);
}

// A text event: 16 host bytes the plug-in skips, then the text at offset 22.
inline Bytes textEvent(const std::string& text) {
    Bytes payload = {3, 6};
    payload.insert(payload.end(), 16, 0xEE);
    putLString(payload, text);
    return frame(payload);
}

inline Bytes stopEvent() { return frame(Bytes{3, 2}); }
inline Bytes settingsEvent() { return frame(Bytes{3, 3}); }

// The host's reply to a connection-state query.
inline Bytes stateReply(int32_t state) {
    Bytes payload = {2};
    putInt32(payload, state);
    return frame(payload);
}

// A state reply in a fixed buffer, for a callback to return: the plug-in reads
// it after the callback returned, so it must outlive the call.
typedef uint8_t StateReply[9];

inline const uint8_t* putStateReply(StateReply& out, int32_t state) {
    const Bytes reply = stateReply(state);
    std::copy(reply.begin(), reply.end(), out);
    return out;
}

// A start event whose first string count is `count` with no text behind it,
// with 11 and 22 in the two int32 fields the plug-in steps over.
inline Bytes startWithFirstCount(uint32_t callbackAddress, int32_t count, const std::string& settingsDir) {
    Bytes payload = {3, 1};
    putInt32(payload, static_cast<int32_t>(callbackAddress));
    putInt32(payload, 11);
    putInt32(payload, count);
    putLString(payload, settingsDir);
    putInt32(payload, 22);
    return frame(payload);
}

// The 34 bytes of the start answer.
inline Bytes expectedStartAnswer() {
    Bytes payload = {2};
    putLString(payload, "Ivra Dormex v0.1+ mod");
    putInt32(payload, 4);
    return frame(payload);
}

inline const Bytes& queryFrame() {
    static const Bytes bytes = {2, 0, 0, 0, 1, 14};
    return bytes;
}
inline const Bytes& connectFrame() {
    static const Bytes bytes = {2, 0, 0, 0, 5, 9};
    return bytes;
}
inline const Bytes& disconnectFrame() {
    static const Bytes bytes = {2, 0, 0, 0, 5, 10};
    return bytes;
}

}  // namespace frames
