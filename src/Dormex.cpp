#include "Dormex.h"

#include <atomic>
#include <cstring>

#include "hostlink/codec.h"
#include "platform/platform.h"

ModuleState moduleState;

namespace {

constexpr uint32_t NAME_SIZE = sizeof PLUGIN_NAME - 1;

struct StartAnswer {
    uint8_t bytes[START_ANSWER_SIZE];
};

constexpr void putInt32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Framed at build time: the same bytes for every start, in read-only memory,
// so starts on two threads at once never write over the answer the host is copying.
constexpr StartAnswer frameStartAnswer() {
    StartAnswer answer{};
    putInt32(answer.bytes, START_ANSWER_SIZE - 4);
    answer.bytes[4] = KIND_ANSWER;
    putInt32(answer.bytes + 5, NAME_SIZE);
    for (uint32_t i = 0; i < NAME_SIZE; ++i) answer.bytes[9 + i] = static_cast<uint8_t>(PLUGIN_NAME[i]);
    putInt32(answer.bytes + 9 + NAME_SIZE, PLUGIN_INTERFACE_VERSION);
    return answer;
}

constexpr StartAnswer START_ANSWER = frameStartAnswer();

// The answer in memory that outlives the module: after the error box the host
// may have unloaded the plug-in and copies the answer only once this call
// returned, however late. The bytes never change, so one copy serves every
// start of this load; it is never freed, since no code of ours learns when the
// host is done. The module's own copy where no memory is left.
const uint8_t* answerOutlivingModule() {
    static std::atomic<const uint8_t*> lasting{nullptr};
    const uint8_t* made = lasting.load();
    if (made != nullptr) return made;
    auto* copy = static_cast<uint8_t*>(allocateMemory(START_ANSWER_SIZE));
    if (copy == nullptr) return START_ANSWER.bytes;
    memcpy(copy, START_ANSWER.bytes, START_ANSWER_SIZE);
    if (lasting.compare_exchange_strong(made, copy)) return copy;
    freeMemory(copy);  // another thread's start made one first
    return made;
}

// The host gets the answer only once the start sequence, error box included,
// is over.
const uint8_t* onStartEvent(Frame frame) {
    StartEvent event;
    if (!decodeStartEvent(frame, &event)) return nullptr;
    PluginSession* session = &moduleState.session;
    ++session->startsUnderWay;
    const bool letHostIn = startSession(session, event.callbackAddress, event.settingsDir);
    const uint8_t* answer = letHostIn ? answerOutlivingModule() : START_ANSWER.bytes;
    // The last thing a start does: a hold on the module waits for it.
    --session->startsUnderWay;
    return answer;
}

}  // namespace

extern "C" const uint8_t* DORMEX_STDCALL pluginFun(const uint8_t* data) {
    Frame frame;
    if (!openFrame(data, &frame)) return nullptr;
    if (readByteAt(data, 4) != KIND_EVENT || !frameHas(frame, 5, 1)) return nullptr;
    switch (readByteAt(data, 5)) {
        case EV_START:
            return onStartEvent(frame);
        case EV_STOP:
            stopSession(&moduleState.session);
            break;
        case EV_SETTINGS:
            openSessionSettings(&moduleState.session);
            break;
        case EV_TEXT:
            onTextEvent(moduleState.session, frame);
            break;
        default:
            break;
    }
    return nullptr;
}

void releaseModuleState() { releaseSession(&moduleState.session); }
