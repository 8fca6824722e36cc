#include "host_trace.h"

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "hostlink/codec.h"
#include "hostlink/protocol.h"

namespace {

// Longest part of a frame shown as hex, and as decoded text.
constexpr uint32_t HEX_LIMIT = 128;
constexpr uint32_t TEXT_LIMIT = 160;
// Frames are decoded only within this much of their announced length.
constexpr uint32_t DECODE_LIMIT = 65536;

std::mutex printLock;
std::mutex threadsLock;
DWORD hostThreadId;
std::vector<DWORD> pluginThreadIds;  // guarded by threadsLock

std::string timestamp() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[16];
    snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", now.wHour, now.wMinute, now.wSecond,
             now.wMilliseconds);
    return text;
}

std::string hexByte(uint8_t value) {
    char text[4];
    snprintf(text, sizeof text, "%02x", value);
    return text;
}

// Opens a frame for decoding: false for null or a length of zero or less.
bool openTracedFrame(const uint8_t* framed, Frame* frame) {
    if (!openFrame(framed, frame)) return false;
    if (frame->size > DECODE_LIMIT) frame->size = DECODE_LIMIT;
    return true;
}

std::string describeStart(Frame frame) {
    StartEvent event;
    if (!decodeStartEvent(frame, &event)) return "start (malformed)";
    char callback[16];
    snprintf(callback, sizeof callback, "0x%08lx", static_cast<unsigned long>(event.callbackAddress));
    return "start  dir=" + escapedBytes(event.settingsDir.data, event.settingsDir.size) +
           "  callback=" + callback;
}

std::string describeText(Frame frame) {
    ByteView text;
    if (!decodeTextEvent(frame, &text)) return "text (malformed)";
    return "text " + quotedBytes(text.data, text.size);
}

}  // namespace

void markHostThread() { hostThreadId = GetCurrentThreadId(); }

std::string callingThreadLabel() {
    const DWORD id = GetCurrentThreadId();
    if (id == hostThreadId) return "host thread";
    std::lock_guard<std::mutex> guard(threadsLock);
    size_t index = 0;
    while (index < pluginThreadIds.size() && pluginThreadIds[index] != id) ++index;
    if (index == pluginThreadIds.size()) pluginThreadIds.push_back(id);
    return "thread " + std::to_string(index + 2);
}

std::string hexOf(const uint8_t* bytes, uint32_t size) {
    const uint32_t shown = size < HEX_LIMIT ? size : HEX_LIMIT;
    std::string out;
    for (uint32_t i = 0; i < shown; ++i) {
        if (i != 0) out += ' ';
        out += hexByte(bytes[i]);
    }
    if (shown < size) out += " ... (" + std::to_string(size) + " bytes)";
    return out;
}

namespace {

// Within quotes, the quote and the backslash are escaped too, so the text reads back unambiguously.
std::string escapeBytes(const uint8_t* bytes, uint32_t size, bool quoted) {
    const uint32_t shown = size < TEXT_LIMIT ? size : TEXT_LIMIT;
    std::string out;
    for (uint32_t i = 0; i < shown; ++i) {
        const uint8_t value = bytes[i];
        const bool plain = value >= 0x20 && value < 0x7f && !(quoted && (value == '"' || value == '\\'));
        if (plain) {
            out += static_cast<char>(value);
        } else {
            out += "\\x" + hexByte(value);
        }
    }
    if (shown < size) out += "... (" + std::to_string(size) + " bytes)";
    return out;
}

}  // namespace

std::string escapedBytes(const uint8_t* bytes, uint32_t size) { return escapeBytes(bytes, size, false); }

std::string quotedBytes(const uint8_t* bytes, uint32_t size) {
    return "\"" + escapeBytes(bytes, size, true) + "\"";
}

std::string describeState(int32_t state) {
    const char* meaning = state == NET_ONLINE ? "on-line" : state == NET_OFFLINE ? "off-line" : "unknown";
    return std::to_string(state) + " (" + meaning + ")";
}

std::string hexOfFrame(const uint8_t* framed) {
    if (framed == nullptr) return "(null)";
    Frame frame;
    if (!openFrame(framed, &frame)) return hexOf(framed, 4);
    // Only the first HEX_LIMIT bytes are read; the note gives the announced size.
    return hexOf(framed, frame.size);
}

std::string describeEvent(const uint8_t* framed) {
    Frame frame;
    if (!openTracedFrame(framed, &frame) || !frameHas(frame, 4, 2)) return describeAnyFrame(framed);
    if (readByteAt(framed, 4) != KIND_EVENT) return describeAnyFrame(framed);
    switch (readByteAt(framed, 5)) {
        case EV_START:
            return describeStart(frame);
        case EV_STOP:
            return "stop";
        case EV_SETTINGS:
            return "settings";
        case EV_TEXT:
            return describeText(frame);
        default:
            return "event code " + std::to_string(readByteAt(framed, 5)) + " (unknown)";
    }
}

std::string describeStartAnswer(const uint8_t* framed) {
    if (framed == nullptr) return "no start answer (null)";
    Frame frame;
    if (!openTracedFrame(framed, &frame)) return "start answer with a length of zero or less";
    if (!frameHas(frame, 4, 1) || readByteAt(framed, 4) != KIND_ANSWER) {
        return "start answer of the wrong kind: " + describeAnyFrame(framed);
    }
    ByteView name;
    uint32_t next = 0;
    if (!readLStringAt(frame, 5, &name, &next)) return "start answer whose name runs past the frame";
    if (!frameHas(frame, next, 4)) return "start answer without a version";
    return "start answer  name=" + quotedBytes(name.data, name.size) +
           " version=" + std::to_string(readInt32At(framed, next));
}

std::string describeAnyFrame(const uint8_t* framed) {
    if (framed == nullptr) return "null message";
    Frame frame;
    if (!openTracedFrame(framed, &frame)) {
        return "frame of length " + std::to_string(readInt32At(framed, 0)) + " (malformed)";
    }
    const std::string kind = "kind " + std::to_string(readByteAt(framed, 4));
    if (!frameHas(frame, 5, 1)) return kind + " without a code";
    return kind + " code " + std::to_string(readByteAt(framed, 5)) + " (unknown)";
}

std::string messageLine(Direction direction, const std::string& description, const std::string& thread,
                        const std::string& hex) {
    const char* arrow = direction == Direction::HostToPlugin ? "host -> plug-in" : "plug-in -> host";
    std::string line = timestamp() + "  " + arrow + "  " + description;
    if (!thread.empty()) line += "  [" + thread + "]";
    return line + "  | " + hex;
}

std::string noteLine(const std::string& text) { return timestamp() + "  host             " + text; }

void printLines(std::initializer_list<std::string> lines) {
    std::lock_guard<std::mutex> guard(printLock);
    for (const std::string& line : lines) {
        fputs(line.c_str(), stdout);
        fputc('\n', stdout);
    }
    fflush(stdout);
}

void printLine(const std::string& line) { printLines({line}); }

void printError(const std::string& text) {
    std::lock_guard<std::mutex> guard(printLock);
    fflush(stdout);
    fprintf(stderr, "dormex-host: %s\n", text.c_str());
    fflush(stderr);
}
