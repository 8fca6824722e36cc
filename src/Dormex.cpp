#include "Dormex.h"

#include <cstring>

#include "hostlink/plugin.h"
#include "hostlink/pluginutil.h"
#include "scheduler/scheduler.h"
#include "settings/settings.h"

namespace {

constexpr uint32_t NAME_SIZE = sizeof PLUGIN_NAME - 1;
constexpr uint32_t ANSWER_PAYLOAD_SIZE = 1 + 4 + NAME_SIZE + 4;
// Longest first start text kept; it is never used, so the rest is dropped.
constexpr uint32_t START_TEXT_CAPACITY = 256;

// The start answer lives apart from every request frame, so a watch thread
// sending at once cannot disturb it before the host has copied it.
uint8_t startAnswer[4 + ANSWER_PAYLOAD_SIZE];

// The start event's fields, kept until the next start event.
int32_t startNumber1;
int32_t startNumber2;
uint8_t startText1[START_TEXT_CAPACITY];
uint32_t startText1Size;
uint8_t settingsDir[MAX_SETTINGS_PATH + 1];
uint32_t settingsDirSize;  // MAX_SETTINGS_PATH + 1 when the host's was longer

ByteView storedSettingsDir() { return ByteView{settingsDir, settingsDirSize}; }

void storeStartFields(const StartEvent& event) {
    setHostCallback(hostCallbackFromAddress(event.callbackAddress));
    startNumber1 = event.number1;
    startText1Size = event.text1.size < START_TEXT_CAPACITY ? event.text1.size : START_TEXT_CAPACITY;
    if (startText1Size != 0) memcpy(startText1, event.text1.data, startText1Size);
    // A directory too long for any settings path is kept only as "too long".
    settingsDirSize = event.settingsDir.size <= MAX_SETTINGS_PATH ? event.settingsDir.size
                                                                   : MAX_SETTINGS_PATH + 1;
    if (event.settingsDir.size <= MAX_SETTINGS_PATH && settingsDirSize != 0) {
        memcpy(settingsDir, event.settingsDir.data, settingsDirSize);
    }
    startNumber2 = event.number2;
}

const uint8_t* frameStartAnswer() {
    uint8_t payload[ANSWER_PAYLOAD_SIZE];
    payload[0] = KIND_ANSWER;
    encodeLString(ByteView{reinterpret_cast<const uint8_t*>(PLUGIN_NAME), NAME_SIZE}, payload + 1);
    encodeInt32(PLUGIN_INTERFACE_VERSION, payload + 5 + NAME_SIZE);
    return frameMessage(payload, sizeof payload, startAnswer);
}

const uint8_t* onStartEvent(Frame frame) {
    StartEvent event;
    if (!decodeStartEvent(frame, &event)) return nullptr;
    storeStartFields(event);
    const uint8_t* answer = frameStartAnswer();
    startPlugin(storedSettingsDir());
    return answer;
}

void onTextFrame(Frame frame) {
    if (!settings.triggerEnabled) return;
    ByteView text;
    if (decodeTextEvent(frame, &text)) onTextEvent(text);
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
            stopWatch();
            break;
        case EV_SETTINGS:
            openSettingsEditor(storedSettingsDir());
            break;
        case EV_TEXT:
            onTextFrame(frame);
            break;
        default:
            break;
    }
    return nullptr;
}

void releaseModuleState() { releaseSettings(); }
