#include "Dormex.h"

#include "hostlink/codec.h"

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

// The host gets the answer only once the start sequence, error box included,
// is over. The answer lies in the module, which the error box pins, so it
// outlives an unload from inside the box however late the host copies it.
const uint8_t* onStartEvent(Frame frame) {
    StartEvent event;
    if (!decodeStartEvent(frame, &event)) return nullptr;
    startSession(&moduleState.session, event.callbackAddress, event.settingsDir);
    return START_ANSWER.bytes;
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

bool prepareModuleState() { return moduleState.prepared = prepareSession(&moduleState.session); }

void releaseModuleState() { releaseSession(&moduleState.session); }

void unloadModuleState() {
    if (!moduleState.prepared) return;
    releaseModuleState();
    disposeSession(&moduleState.session);
}
