// A faulty plug-in for the host's tests: it calls back with frames no sound
// plug-in sends and answers with malformed ones, so the trace must cope.
#include <cstdint>
#include <cstring>
#include <initializer_list>

typedef const uint8_t*(__stdcall* HostCallback)(const uint8_t* framed);

namespace {

const uint8_t emptyFrame[] = {0, 0, 0, 0};
const uint8_t kindOnly[] = {1, 0, 0, 0, 7};
const uint8_t unknownQuery[] = {2, 0, 0, 0, 1, 99};
const uint8_t unknownKind[] = {2, 0, 0, 0, 9, 1};
// A disconnect that claims to be 2 GiB long; the host may read only its hex part.
uint8_t hugeDisconnect[256] = {0xff, 0xff, 0xff, 0x7f, 5, 10};
// A start answer whose name count runs past its frame.
const uint8_t badAnswer[] = {6, 0, 0, 0, 2, 100, 0, 0, 0, 'x'};

}  // namespace

extern "C" __declspec(dllexport) const uint8_t* __stdcall pluginFun(const uint8_t* data) {
    if (data[5] == 1) {
        uint32_t address = 0;
        memcpy(&address, data + 6, sizeof address);
        const HostCallback callback = reinterpret_cast<HostCallback>(static_cast<uintptr_t>(address));
        for (const uint8_t* frame : {static_cast<const uint8_t*>(nullptr), emptyFrame, kindOnly, unknownQuery,
                                     unknownKind, static_cast<const uint8_t*>(hugeDisconnect)}) {
            callback(frame);
        }
        return badAnswer;
    }
    // A text event gets a result where a host expects none.
    return data[5] == 6 ? unknownKind : nullptr;
}
