#include "host_session.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "frames.h"
#include "host_text.h"
#include "host_trace.h"
#include "hostlink/codec.h"
#include "hostlink/protocol.h"
#include "messages.h"
#include "platform/callconv.h"
#include "win_host.h"

namespace {

typedef const uint8_t*(DORMEX_STDCALL* PluginFun)(const uint8_t* data);

constexpr char SETTINGS_FILE_NAME[] = "dormex.ini";
// The host's own start fields; the plug-in stores them without using them.
constexpr char HOST_START_TEXT[] = "dormex-host";

HMODULE pluginModule = nullptr;
PluginFun pluginFun = nullptr;
std::string pluginPath;
bool running = false;
// The library unloaded last, until it is gone from the process.
HMODULE unloadedModule = nullptr;

std::atomic<int32_t> netState{NET_ONLINE};
// Requests answered since the last start event; counted once each is printed.
std::atomic<int> requestsSinceStart{0};

std::string settingsDir;   // empty until a step needs one
std::string temporaryDir;  // the one this run made, if any

// The reply to a query stays put until the same thread asks again, so the
// plug-in can read it after we return, whichever thread it asked from.
thread_local frames::StateReply replyFrame;

// Builds the state reply in the calling thread's buffer.
const uint8_t* frameStateReply(int32_t state) { return frames::putStateReply(replyFrame, state); }

std::string stateInWords(int32_t state) {
    if (state == NET_ONLINE) return text(WORDS_ONLINE);
    return state == NET_OFFLINE ? text(WORDS_OFFLINE) : describeState(state);
}

const uint8_t* answerQuery(const uint8_t* framed, const std::string& thread) {
    const int32_t state = netState.load();
    const uint8_t* reply = frameStateReply(state);
    if (tracedInWords()) {
        printLine(say(WORDS_QUERY, stateInWords(state).c_str()));
        return reply;
    }
    printLines({messageLine(Direction::PluginToHost, text(QUERY_NET_STATE), thread, hexOfFrame(framed)),
                messageLine(Direction::HostToPlugin, say(REPLY_STATE, describeState(state).c_str()), thread,
                            hexOfFrame(reply))});
    return reply;
}

void obeyCommand(const uint8_t* framed, uint8_t code, const std::string& thread) {
    const bool connect = code == CMD_CONNECT;
    const int32_t after = connect ? NET_ONLINE : NET_OFFLINE;
    const int32_t before = netState.exchange(after);
    if (tracedInWords()) {
        printLine(text(connect ? WORDS_CONNECT : WORDS_DISCONNECT));
        return;
    }
    const std::string description = say(connect ? COMMAND_CONNECT : COMMAND_DISCONNECT,
                                        static_cast<int>(before), static_cast<int>(after));
    printLine(messageLine(Direction::PluginToHost, description, thread, hexOfFrame(framed)));
}

// Prints the request and acts on it: any thread, any frame.
const uint8_t* serveRequest(const uint8_t* framed) {
    const std::string thread = callingThreadLabel();
    Frame frame;
    if (openFrame(framed, &frame) && frameHas(frame, 4, 2)) {
        const uint8_t kind = readByteAt(framed, 4);
        const uint8_t code = readByteAt(framed, 5);
        if (kind == KIND_QUERY && code == Q_NET_STATE) return answerQuery(framed, thread);
        if (kind == KIND_COMMAND && (code == CMD_CONNECT || code == CMD_DISCONNECT)) {
            obeyCommand(framed, code, thread);
            return nullptr;
        }
    }
    printLine(messageLine(Direction::PluginToHost, say(NO_REPLY, describeAnyFrame(framed).c_str()), thread,
                          hexOfFrame(framed)));
    return nullptr;
}

// The callback the plug-in gets in the start event.
const uint8_t* DORMEX_STDCALL hostCallback(const uint8_t* framed) {
    const uint8_t* reply = serveRequest(framed);
    requestsSinceStart.fetch_add(1);
    return reply;
}

uint32_t callbackAddress() { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&hostCallback)); }

// Prints an event, delivers it, and returns the plug-in's result.
const uint8_t* deliver(const frames::Bytes& event) {
    if (!tracedInWords())
        printLine(
            messageLine(Direction::HostToPlugin, describeEvent(event.data()), "", hexOfFrame(event.data())));
    return pluginFun(event.data());
}

// Events other than start are answered with null; anything else is worth a line.
void deliverExpectingNoAnswer(const frames::Bytes& event) {
    const uint8_t* result = deliver(event);
    if (result == nullptr) return;
    printLine(messageLine(Direction::PluginToHost, say(UNEXPECTED_RESULT, describeAnyFrame(result).c_str()),
                          "", hexOfFrame(result)));
}

std::string settingsPath() { return settingsDir + SETTINGS_FILE_NAME; }

bool makeTemporarySettingsDir(std::string* error) {
    const std::string dir = winhost::makeScratchDir("host");
    if (dir.empty()) {
        *error = text(FAIL_NO_TEMPORARY_DIR);
        return false;
    }
    settingsDir = dir;
    temporaryDir = dir;
    printLine(noteLine(say(NOTE_FRESH_SETTINGS_DIR, shownAnsi(dir).c_str())));
    return true;
}

}  // namespace

FileRead readWholeFile(const std::string& path, std::string* content) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return FILE_MISSING;
    char chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, file)) != 0) content->append(chunk, got);
    const bool failed = ferror(file) != 0;
    fclose(file);
    return failed ? FILE_READ_FAILED : FILE_READ;
}

std::vector<std::string> splitLines(const std::string& content) {
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < content.size()) {
        size_t end = content.find('\n', begin);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r' && end < content.size()) line.pop_back();
        lines.push_back(line);
        begin = end + 1;
    }
    return lines;
}

std::string pluginBesideProgram() {
    char path[MAX_PATH + 1];
    const DWORD size = GetModuleFileNameA(nullptr, path, sizeof path);
    if (size == 0 || size > MAX_PATH) return "Dormex.dll";
    std::string dir(path, size);
    const size_t slash = dir.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : dir.substr(0, slash + 1)) + "Dormex.dll";
}

bool loadPlugin(const std::string& path, std::string* error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        *error = say(FAIL_CANNOT_LOAD, shownAnsi(path).c_str(), windowsErrorWords(GetLastError()).c_str());
        return false;
    }
    FARPROC entry = GetProcAddress(module, "pluginFun");
    if (entry == nullptr) {
        FreeLibrary(module);
        *error = say(FAIL_NO_EXPORT, shownAnsi(path).c_str());
        return false;
    }
    pluginModule = module;
    pluginFun = reinterpret_cast<PluginFun>(reinterpret_cast<void*>(entry));
    pluginPath = path;
    printLine(noteLine(say(NOTE_LOADED, shownAnsi(path).c_str())));
    return true;
}

bool pluginLoaded() { return pluginModule != nullptr; }

void waitForUnloadedPlugin(unsigned long limitMs) {
    const DWORD begun = GetTickCount();
    HMODULE stillThere = nullptr;
    const DWORD lookOnly = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    while (unloadedModule != nullptr && GetTickCount() - begun < limitMs &&
           GetModuleHandleExA(lookOnly, reinterpret_cast<LPCSTR>(unloadedModule), &stillThere)) {
        Sleep(10);
    }
}

void unloadPlugin() {
    FreeLibrary(pluginModule);
    unloadedModule = pluginModule;
    pluginModule = nullptr;
    pluginFun = nullptr;
    running = false;
    printLine(noteLine(say(NOTE_UNLOADED, shownAnsi(pluginPath).c_str())));
}

void sendStart(const std::string& dir) {
    requestsSinceStart.store(0);
    if (tracedInWords()) printLine(text(WORDS_START));
    const uint8_t* answer = deliver(frames::startEvent(callbackAddress(), dir, HOST_START_TEXT));
    // A host copies the answer at once: the plug-in may reuse its buffer later.
    if (!tracedInWords())
        printLine(messageLine(Direction::PluginToHost, describeStartAnswer(answer), "", hexOfFrame(answer)));
    running = true;
}

bool waitForRequests(int count, unsigned limitMs) {
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    while (requestsSinceStart.load() < count) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(10);
    }
    return true;
}

void sendStop() {
    if (tracedInWords()) printLine(text(WORDS_STOP));
    deliverExpectingNoAnswer(frames::stopEvent());
    running = false;
}

void sendSettings() {
    if (tracedInWords()) printLine(text(WORDS_SETTINGS));
    deliverExpectingNoAnswer(frames::settingsEvent());
}

void sendText(const std::string& chat) {
    if (tracedInWords()) printLine(say(WORDS_TEXT, quotedAnsi(chat).c_str()));
    const int requests = requestsSinceStart.load();
    deliverExpectingNoAnswer(frames::textEvent(chat));
    if (tracedInWords() && requestsSinceStart.load() == requests) printLine(text(WORDS_TEXT_IGNORED));
}

bool pluginRunning() { return running; }

void setNetState(int32_t state) {
    netState.store(state);
    printLine(noteLine(say(NOTE_STATE_SET, describeState(state).c_str())));
}

bool currentSettingsDir(std::string* dir, std::string* error) {
    if (settingsDir.empty() && !makeTemporarySettingsDir(error)) return false;
    *dir = settingsDir;
    return true;
}

void useSettingsDir(const std::string& dir) { settingsDir = dir; }

void removeTemporarySettingsDir() {
    if (temporaryDir.empty()) return;
    // Only the file the plug-in and we write; anything else keeps the directory.
    DeleteFileA((temporaryDir + SETTINGS_FILE_NAME).c_str());
    RemoveDirectoryA(temporaryDir.c_str());
    temporaryDir.clear();
}

bool writeSettingsFile(const std::vector<std::string>& lines, std::string* error) {
    std::string dir;
    if (!currentSettingsDir(&dir, error)) return false;
    std::string content;
    for (const std::string& line : lines) content += line + "\r\n";
    FILE* file = fopen(settingsPath().c_str(), "wb");
    const bool written = file != nullptr && fwrite(content.data(), 1, content.size(), file) == content.size();
    if (file == nullptr || fclose(file) != 0 || !written) {
        *error = say(FAIL_CANNOT_WRITE, shownAnsi(settingsPath()).c_str());
        return false;
    }
    printLine(noteLine(
        say(NOTE_WROTE_SETTINGS, shownAnsi(settingsPath()).c_str(), static_cast<unsigned>(lines.size()))));
    return true;
}

bool showSettingsFile(std::string* error) {
    std::string dir;
    if (!currentSettingsDir(&dir, error)) return false;
    std::string content;
    // What could be read is shown even when the rest could not.
    if (readWholeFile(settingsPath(), &content) == FILE_MISSING) {
        printLine(noteLine(say(NOTE_NO_SETTINGS_FILE, shownAnsi(settingsPath()).c_str())));
        return true;
    }
    const std::string size = byteCount(static_cast<uint32_t>(content.size()));
    printLine(noteLine(say(NOTE_SETTINGS_FILE, shownAnsi(settingsPath()).c_str(), size.c_str())));
    // As check shows them: a Unicode (UTF-16) file and UTF-8 lines as letters.
    bool wasUtf16 = false;
    content = fileText(content, &wasUtf16);
    const std::vector<std::string> lines = splitLines(content);
    for (size_t i = 0; i < lines.size(); ++i) {
        const uint8_t* line = reinterpret_cast<const uint8_t*>(lines[i].data());
        const uint32_t length = static_cast<uint32_t>(lines[i].size());
        const TextEncoding encoding = wasUtf16 ? TEXT_UTF8 : encodingOf(line, length);
        printLine(noteLine("  " + std::to_string(i + 1) + "  " + shownText(line, length, encoding, length)));
    }
    return true;
}
