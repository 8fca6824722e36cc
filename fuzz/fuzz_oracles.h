// What the host's frame layout says about a framed event, worked out apart
// from the plug-in's decoder: the fuzz targets hold the plug-in's answers
// against these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "hostlink/protocol.h"
#include "settings/settings.h"

namespace oracle {

inline uint32_t readLe32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A count as the layout reads it: zero or less is an empty string.
inline size_t countAt(const uint8_t* frame, size_t offset) {
    const int32_t count = static_cast<int32_t>(readLe32(frame + offset));
    return count > 0 ? static_cast<size_t>(count) : 0;
}

// An event of kind 3 with `code`, with a positive length.
inline bool isEvent(const uint8_t* frame, size_t size, uint8_t code) {
    return size >= 6 && static_cast<int32_t>(readLe32(frame)) > 0 && frame[4] == KIND_EVENT &&
           frame[5] == code;
}

struct StartLayout {
    bool wellFormed;
    size_t dirCountAt;  // offset of the directory's count
    size_t dirEnd;      // offset right after the directory's bytes
};

// Where a start event's directory string lies, read the way the host's layout says.
inline StartLayout locateDirectory(const uint8_t* frame, size_t size) {
    const StartLayout malformed = {false, 0, 0};
    if (size < 18) return malformed;
    const size_t text1End = 18 + countAt(frame, 14);
    if (text1End + 4 > size) return malformed;
    const size_t dirEnd = text1End + 4 + countAt(frame, text1End);
    if (dirEnd + 4 > size) return malformed;
    return StartLayout{true, text1End, dirEnd};
}

// Whether a text event carries exactly the trigger text of `settings`, in the
// file's bytes or, when it has one, in its ANSI spelling.
inline bool triggerMatches(const uint8_t* frame, size_t size, const Settings& settings) {
    if (!settings.triggerEnabled || size < 26) return false;
    const size_t count = countAt(frame, 22);
    if (26 + count > size) return false;
    const TriggerText& trigger = settings.triggerText;
    const auto same = [&](const uint8_t* bytes, uint32_t bytesSize) {
        return count == bytesSize && (count == 0 || memcmp(frame + 26, bytes, count) == 0);
    };
    return same(trigger.bytes, trigger.size) ||
           (trigger.ansiBytes != nullptr && same(trigger.ansiBytes, trigger.ansiSize));
}

}  // namespace oracle
