#include "host_trace.h"

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "host_text.h"
#include "hostlink/codec.h"
#include "hostlink/protocol.h"
#include "messages.h"

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
TraceStyle traceStyle = TraceStyle::Frames;

std::string timestamp() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[16];
    snprintf(stamp, sizeof stamp, "%02u:%02u:%02u.%03u", now.wHour, now.wMinute, now.wSecond,
             now.wMilliseconds);
    return stamp;
}

std::string hexByte(uint8_t value) {
    char pair[4];
    snprintf(pair, sizeof pair, "%02x", value);
    return pair;
}

// Text from the plug-in or its host as the trace shows it: its start, and its
// size when that is cut.
std::string shownWithSize(const uint8_t* bytes, uint32_t size, bool quoted) {
    const std::string shown = quoted ? quotedText(bytes, size, TEXT_ANSI, TEXT_LIMIT)
                                     : shownText(bytes, size, TEXT_ANSI, TEXT_LIMIT);
    return size <= TEXT_LIMIT ? shown : shown + " (" + byteCount(size) + ")";
}

// Opens a frame for decoding: false for null or a length of zero or less.
bool openTracedFrame(const uint8_t* framed, Frame* frame) {
    if (!openFrame(framed, frame)) return false;
    if (frame->size > DECODE_LIMIT) frame->size = DECODE_LIMIT;
    return true;
}

std::string describeStart(Frame frame) {
    StartEvent event;
    if (!decodeStartEvent(frame, &event)) return text(EVENT_START_MALFORMED);
    char callback[16];
    snprintf(callback, sizeof callback, "0x%08lx", static_cast<unsigned long>(event.callbackAddress));
    const ByteView dir = event.settingsDir;
    return say(EVENT_START, shownWithSize(dir.data, dir.size, false).c_str(), callback);
}

std::string describeText(Frame frame) {
    ByteView chat;
    if (!decodeTextEvent(frame, &chat)) return text(EVENT_TEXT_MALFORMED);
    return say(EVENT_TEXT, shownWithSize(chat.data, chat.size, true).c_str());
}

}  // namespace

void useTraceStyle(TraceStyle style) { traceStyle = style; }

bool tracedInWords() { return traceStyle == TraceStyle::Words; }

void markHostThread() { hostThreadId = GetCurrentThreadId(); }

std::string callingThreadLabel() {
    const DWORD id = GetCurrentThreadId();
    if (id == hostThreadId) return text(THREAD_OF_HOST);
    std::lock_guard<std::mutex> guard(threadsLock);
    size_t index = 0;
    while (index < pluginThreadIds.size() && pluginThreadIds[index] != id) ++index;
    if (index == pluginThreadIds.size()) pluginThreadIds.push_back(id);
    return say(THREAD_NUMBER, static_cast<unsigned>(index + 2));
}

std::string hexOf(const uint8_t* bytes, uint32_t size) {
    const uint32_t shown = size < HEX_LIMIT ? size : HEX_LIMIT;
    std::string out;
    for (uint32_t i = 0; i < shown; ++i) {
        if (i != 0) out += ' ';
        out += hexByte(bytes[i]);
    }
    if (shown < size) out += " ... (" + byteCount(size) + ")";
    return out;
}

std::string describeState(int32_t state) {
    const MessageId meaning = state == NET_ONLINE    ? STATE_ONLINE
                              : state == NET_OFFLINE ? STATE_OFFLINE
                                                     : STATE_UNKNOWN;
    return say(meaning, static_cast<int>(state));
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
            return text(EVENT_STOP);
        case EV_SETTINGS:
            return text(EVENT_SETTINGS);
        case EV_TEXT:
            return describeText(frame);
        default:
            return say(EVENT_UNKNOWN, static_cast<unsigned>(readByteAt(framed, 5)));
    }
}

std::string describeStartAnswer(const uint8_t* framed) {
    if (framed == nullptr) return text(ANSWER_NULL);
    Frame frame;
    if (!openTracedFrame(framed, &frame)) return text(ANSWER_NO_LENGTH);
    if (!frameHas(frame, 4, 1) || readByteAt(framed, 4) != KIND_ANSWER) {
        return say(ANSWER_WRONG_KIND, describeAnyFrame(framed).c_str());
    }
    ByteView name;
    uint32_t next = 0;
    if (!readLStringAt(frame, 5, &name, &next)) return text(ANSWER_NAME_PAST_FRAME);
    if (!frameHas(frame, next, 4)) return text(ANSWER_NO_VERSION);
    return say(ANSWER, shownWithSize(name.data, name.size, true).c_str(),
               static_cast<int>(readInt32At(framed, next)));
}

std::string describeAnyFrame(const uint8_t* framed) {
    if (framed == nullptr) return text(FRAME_NULL);
    Frame frame;
    if (!openTracedFrame(framed, &frame))
        return say(FRAME_MALFORMED, static_cast<int>(readInt32At(framed, 0)));
    const unsigned kind = readByteAt(framed, 4);
    if (!frameHas(frame, 5, 1)) return say(FRAME_NO_CODE, kind);
    return say(FRAME_UNKNOWN, kind, static_cast<unsigned>(readByteAt(framed, 5)));
}

std::string messageLine(Direction direction, const std::string& description, const std::string& thread,
                        const std::string& hex) {
    const char* arrow =
        text(direction == Direction::HostToPlugin ? TRACE_HOST_TO_PLUGIN : TRACE_PLUGIN_TO_HOST);
    std::string line = timestamp() + "  " + arrow + "  " + description;
    if (!thread.empty()) line += "  [" + thread + "]";
    return line + "  | " + hex;
}

// Lined up with the direction of a message line.
std::string noteLine(const std::string& note) {
    if (tracedInWords()) return "  " + note;
    const uint32_t arrowWidth = textWidth(text(TRACE_HOST_TO_PLUGIN));
    return timestamp() + "  " + paddedTo(text(TRACE_HOST), arrowWidth) + "  " + note;
}

void printLines(std::initializer_list<std::string> lines) {
    std::string all;
    for (const std::string& line : lines) all += tracedInWords() ? wrapped(line) : line + "\n";
    std::lock_guard<std::mutex> guard(printLock);
    writeText(stdout, all);
}

void printLine(const std::string& line) { printLines({line}); }

void printError(const std::string& error) {
    std::lock_guard<std::mutex> guard(printLock);
    fflush(stdout);
    writeText(stderr, say(FAIL_LINE, error.c_str()));
}
