#include "Dormex.h"

#include "hostlink/codec.h"

ModuleState moduleState;

namespace {

constexpr uint32_t NAME_SIZE = sizeof PLUGIN_NAME - 1;

const uint8_t* frameStartAnswer() {
    uint8_t payload[START_ANSWER_SIZE - 4];
    payload[0] = KIND_ANSWER;
    encodeLString(ByteView{reinterpret_cast<const uint8_t*>(PLUGIN_NAME), NAME_SIZE}, payload + 1);
    encodeInt32(PLUGIN_INTERFACE_VERSION, payload + 5 + NAME_SIZE);
    return frameMessage(payload, sizeof payload, moduleState.startAnswer);
}

// The answer is framed first; the host gets it only once the start sequence,
// error box included, is over.
const uint8_t* onStartEvent(Frame frame) {
    StartEvent event;
    if (!decodeStartEvent(frame, &event)) return nullptr;
    keepStartFields(&moduleState.session, event.callbackAddress, event.settingsDir);
    const uint8_t* answer = frameStartAnswer();
    startSession(&moduleState.session);
    return answer;
}

void onTextFrame(Frame frame) {
    if (!moduleState.session.settings.triggerEnabled) return;
    ByteView text;
    if (decodeTextEvent(frame, &text)) onTextEvent(moduleState.session, text);
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
            openSessionSettings(moduleState.session);
            break;
        case EV_TEXT:
            onTextFrame(frame);
            break;
        default:
            break;
    }
    return nullptr;
}

void releaseModuleState() { releaseSession(&moduleState.session); }
