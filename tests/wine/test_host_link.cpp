// The built DLL as the host sees it: the start answer, the frames it must
// refuse, its calling convention and its version resource.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "dll_test.h"

using frames::Bytes;
using namespace winhost;

namespace {

// Schedule off, trigger "/disconnect" on: only the test's texts make frames.
const char TRIGGER_ONLY_FILE[] = "h=-\r\nm=-\r\nh=-\r\nm=-\r\nDisconnectStr=/disconnect\r\n";

void putInt32At(Bytes& bytes, size_t offset, int32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i));
}

// Drops `count` bytes from the end of a frame and from its announced length.
Bytes cutShort(Bytes bytes, size_t count) {
    bytes.resize(bytes.size() - count);
    putInt32At(bytes, 0, static_cast<int32_t>(bytes.size() - 4));
    return bytes;
}

Bytes withByte(Bytes bytes, size_t offset, uint8_t value) {
    bytes[offset] = value;
    return bytes;
}

Bytes withInt32(Bytes bytes, size_t offset, int32_t value) {
    putInt32At(bytes, offset, value);
    return bytes;
}

}  // namespace

TEST_F(DllTest, StartAnswersWithNameAndVersionAndReadsTheDirectoryAfterTheFirstString) {
    struct Row {
        const char* name;
        Bytes (*build)(const std::string& dir);
    };
    const Row rows[] = {
        {"first string empty", [](const std::string& d) { return frames::startEvent(recorderAddress(), d); }},
        {"first string abc",
         [](const std::string& d) { return frames::startEvent(recorderAddress(), d, "abc", 7, -7); }},
        {"first count -5",
         [](const std::string& d) { return frames::startWithFirstCount(recorderAddress(), -5, d); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string dir = newDirectory();
        started_ = true;
        EXPECT_EQ(callAndCopy(row.build(dir)), frames::expectedStartAnswer());
        EXPECT_EQ(readWholeFile(dir + "dormex.ini").size(), 86u)
            << "the directory was not read where it lies";
        callGuarded(frames::stopEvent());
    }
    EXPECT_TRUE(sentHere().empty());
}

TEST_F(DllTest, RefusedFramesReturnNullAndSendNothing) {
    ASSERT_EQ(startWithFile(TRIGGER_ONLY_FILE), frames::expectedStartAnswer());
    const Bytes text = frames::textEvent("/disconnect");
    struct Row {
        const char* name;
        Bytes frame;
    };
    const Row rows[] = {
        {"N = 0", {0, 0, 0, 0}},
        {"N = -1", {0xFF, 0xFF, 0xFF, 0xFF}},
        {"N = -2^31", {0, 0, 0, 0x80}},
        {"N = 1, no code byte", {1, 0, 0, 0, 3}},
        {"kind 0", withByte(text, 4, 0)},
        {"kind 1", withByte(text, 4, 1)},
        {"kind 2", withByte(text, 4, 2)},
        {"kind 5", withByte(text, 4, 5)},
        {"code 0", withByte(text, 5, 0)},
        {"code 4", withByte(text, 5, 4)},
        {"code 5", withByte(text, 5, 5)},
        {"code 7", withByte(text, 5, 7)},
        {"code 255", withByte(text, 5, 255)},
        {"text one byte short of its count", cutShort(text, 1)},
        {"text count one past the end", withInt32(text, 22, 12)},
        {"text count 2^31 - 1", withInt32(text, 22, 0x7FFFFFFF)},
        {"text count cut short", cutShort(text, 13)},
        {"text missing", cutShort(text, 15)},
    };
    EXPECT_EQ(pluginFun()(nullptr), nullptr);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(callGuarded(row.frame), nullptr);
        EXPECT_TRUE(sentHere().empty());
    }
    // The same text, well formed, does reach the host.
    EXPECT_EQ(callGuarded(text), nullptr);
    EXPECT_EQ(sentHere(), std::vector<Bytes>{frames::disconnectFrame()});
}

TEST_F(DllTest, StartRunningPastItsFrameStoresNothing) {
    ASSERT_EQ(startWithFile(TRIGGER_ONLY_FILE), frames::expectedStartAnswer());
    struct Row {
        const char* name;
        Bytes (*build)(const Bytes& good);  // from a start with first string "abc"
    };
    const Row rows[] = {
        {"first count cut short", [](const Bytes& g) { return cutShort(g, g.size() - 16); }},
        {"first count one past the end",
         [](const Bytes& g) { return withInt32(g, 14, int32_t(g.size()) - 17); }},
        {"first count 2^31 - 1", [](const Bytes& g) { return withInt32(g, 14, 0x7FFFFFFF); }},
        {"directory count one past the end",
         [](const Bytes& g) { return withInt32(g, 21, int32_t(g.size()) - 24); }},
        {"directory count 2^31 - 1", [](const Bytes& g) { return withInt32(g, 21, 0x7FFFFFFF); }},
        {"last int32 missing", [](const Bytes& g) { return cutShort(g, 4); }},
        {"last int32 cut short", [](const Bytes& g) { return cutShort(g, 1); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string other = newDirectory();
        EXPECT_EQ(callGuarded(row.build(frames::startEvent(decoyAddress(), other, "abc"))), nullptr);
        EXPECT_FALSE(fileExists(other + "dormex.ini")) << "a refused start must not load or write settings";
        // The callback of the good start is still the one in use.
        callGuarded(frames::textEvent("/disconnect"));
        EXPECT_EQ(sentHere(), std::vector<Bytes>{frames::disconnectFrame()});
        EXPECT_EQ(decoyCalls(), 0);
        clearRecord();
    }
}

TEST_F(DllTest, NullCallbackIsNeverCalled) {
    writeWholeFile(settingsFile(), TRIGGER_ONLY_FILE);
    EXPECT_EQ(start(dir_, 0), frames::expectedStartAnswer());
    EXPECT_EQ(callGuarded(frames::textEvent("/disconnect")), nullptr);
    EXPECT_TRUE(sentHere().empty());
}

#if !defined(__i386__)
#error "the calling-convention check below is i386 assembly; the DLL is built for i386 only"
#endif
// Calls function(argument) and returns how far the stack pointer moved from
// before the push of the argument to after the call: 0 when the callee pops it.
int32_t stackDriftOfCall(PluginFun function, const uint8_t* argument) {
    uint32_t before, after;
    uint32_t target = reinterpret_cast<uint32_t>(function);
    uint32_t pushed = reinterpret_cast<uint32_t>(argument);
    asm volatile(
        "movl %%esp, %[before]\n\t"
        "pushl %[pushed]\n\t"
        "call *%[target]\n\t"
        "movl %%esp, %[after]\n\t"
        "movl %[before], %%esp\n\t"
        : [before] "=&S"(before), [after] "=&D"(after), [target] "+a"(target), [pushed] "+c"(pushed)
        :
        : "edx", "memory", "cc");
    return static_cast<int32_t>(before - after);
}

TEST(DllAbi, PluginFunRemovesItsOwnArgument) {
    ASSERT_NE(pluginFun(), nullptr) << dllPath();
    const Bytes refused = {0, 0, 0, 0};
    EXPECT_EQ(stackDriftOfCall(pluginFun(), nullptr), 0);
    EXPECT_EQ(stackDriftOfCall(pluginFun(), refused.data()), 0);
}

TEST(DllVersion, ResourceNamesTheProductInRussian1251) {
    ASSERT_NE(pluginFun(), nullptr) << dllPath();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(dllPath().c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource in " << dllPath();
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(dllPath().c_str(), 0, size, info.data()));

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", &value, &length));
    ASSERT_GE(length, 4u);
    EXPECT_EQ(static_cast<WORD*>(value)[0], 0x0419);
    EXPECT_EQ(static_cast<WORD*>(value)[1], 1251);
    // The resource itself is filed under Russian, not only the table inside it.
    const HMODULE module = GetModuleHandleA(dllPath().c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_NE(
        FindResourceExA(module, RT_VERSION, MAKEINTRESOURCEA(1), MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT)),
        nullptr)
        << "no version resource in language 0x0419";

    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", &value, &length));
    const VS_FIXEDFILEINFO* fixed = static_cast<VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00000000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00010001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00000000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00010001u);

    struct Row {
        const char* field;
        bool present;
        const char* text;
    };
    const Row rows[] = {
        {"ProductName", true, "Ivra Dormex v0.1+ mod"},
        {"FileVersion", true, "0.0.1.1"},
        {"ProductVersion", true, "0.0.1.1"},
        {"CompanyName", true, ""},
        {"FileDescription", true, ""},
        {"InternalName", true, ""},
        {"LegalTrademarks", true, ""},
        {"OriginalFilename", true, ""},
        {"Comments", true, ""},
        {"NoSuchField", false, ""},  // shows that a query can tell "absent" from "empty"
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.field);
        const std::string query = std::string("\\StringFileInfo\\041904E3\\") + row.field;
        value = nullptr;
        length = 0;
        const bool found = VerQueryValueA(info.data(), query.c_str(), &value, &length) != FALSE;
        ASSERT_EQ(found, row.present);
        if (found) {
            EXPECT_EQ(std::string(length == 0 ? "" : static_cast<const char*>(value)), row.text);
        }
    }
}

namespace {

// What the library last asked of Windows through the imports a test replaced.
struct SeenCalls {
    SIZE_T stackSize = 1;
    DWORD creationFlags = 1;
    UINT boxStyle = 0;
    std::string launches;   // each as "program|parameters;"
    std::string fileSteps;  // F for a flush, M for a move, in order
    std::string boxSteps;   // P for the module pinned, B for the box, in order
    std::string com;        // I for COM set up on the thread, U for each undoing
    HRESULT comAnswer = S_OK;
    bool notepadMissing = false;
};
SeenCalls seen;
decltype(&CreateThread) realCreateThread = nullptr;
decltype(&FlushFileBuffers) realFlush = nullptr;
decltype(&MoveFileExA) realMove = nullptr;
decltype(&GetModuleHandleExA) realModuleHandle = nullptr;

HANDLE WINAPI seeCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                              LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD flags, LPDWORD id) {
    seen.stackSize = stackSize;
    seen.creationFlags = flags;
    return realCreateThread(security, stackSize, routine, parameter, flags, id);
}

HINSTANCE WINAPI seeShellExecute(HWND, LPCSTR, LPCSTR program, LPCSTR parameters, LPCSTR, INT) {
    const std::string target = program != nullptr ? program : "(null)";
    seen.launches += target + "|" + (parameters != nullptr ? parameters : "(null)") + ";";
    const bool notepad = target.size() > 11 && target.compare(target.size() - 11, 11, "notepad.exe") == 0;
    // As Windows answers when the program is not there, or as if started.
    return reinterpret_cast<HINSTANCE>(notepad && seen.notepadMissing ? ERROR_FILE_NOT_FOUND : 33);
}

int WINAPI seeMessageBox(HWND, LPCWSTR, LPCWSTR, UINT style) {
    seen.boxStyle = style;
    seen.boxSteps += 'B';
    return IDOK;
}

BOOL WINAPI seeFlush(HANDLE file) {
    seen.fileSteps += 'F';
    return realFlush(file);
}

BOOL WINAPI seeMove(LPCSTR from, LPCSTR to, DWORD flags) {
    seen.fileSteps += 'M';
    return realMove(from, to, flags);
}

BOOL WINAPI seeModuleHandle(DWORD flags, LPCSTR name, HMODULE* module) {
    if ((flags & GET_MODULE_HANDLE_EX_FLAG_PIN) != 0) seen.boxSteps += 'P';
    return realModuleHandle(flags, name, module);
}

// The host's own COM state is not touched: the answer is the test's.
HRESULT WINAPI seeComSetUp(LPVOID, DWORD) {
    seen.com += 'I';
    return seen.comAnswer;
}

void WINAPI seeComUndone() { seen.com += 'U'; }

}  // namespace

// Where Wine differs from Windows (every thread gets 1 MB of stack whatever is
// asked; programs are looked for in its own order), the DLL's calls into
// Windows show what a real host would get.
TEST_F(DllTest, AsksWindowsForWhatARealHostNeeds) {
    ImportHooks hooks;
    realCreateThread = hooks.replace("kernel32.dll", "CreateThread", &seeCreateThread);
    realFlush = hooks.replace("kernel32.dll", "FlushFileBuffers", &seeFlush);
    realMove = hooks.replace("kernel32.dll", "MoveFileExA", &seeMove);
    realModuleHandle = hooks.replace("kernel32.dll", "GetModuleHandleExA", &seeModuleHandle);
    const bool hooked = realCreateThread && realFlush && realMove && realModuleHandle &&
                        hooks.replace("shell32.dll", "ShellExecuteA", &seeShellExecute) &&
                        hooks.replace("user32.dll", "MessageBoxW", &seeMessageBox) &&
                        hooks.replace("ole32.dll", "CoInitializeEx", &seeComSetUp) &&
                        hooks.replace("ole32.dll", "CoUninitialize", &seeComUndone);
    ASSERT_TRUE(hooked) << "Dormex.dll lacks an import of those the test replaces";
    // A bad file: the default file on the disk before it is moved into place.
    EXPECT_EQ(startWithFile("h=x\r\n"), frames::expectedStartAnswer());
    EXPECT_EQ(start(dir_ + "missing\\"), frames::expectedStartAnswer());  // the error box, then the thread
    // COM as the shell's extensions need it, undone as far as this call set it
    // up: set up now, already there, or the host's thread in another apartment.
    const struct {
        HRESULT answer;
        const char* steps;
    } comRows[] = {{S_OK, "IU"}, {S_FALSE, "IU"}, {RPC_E_CHANGED_MODE, "I"}};
    for (const auto& row : comRows) {
        seen.comAnswer = row.answer;
        seen.com.clear();
        callGuarded(frames::settingsEvent());
        EXPECT_EQ(seen.com, row.steps) << "COM answered " << std::hex << row.answer;
    }
    seen.notepadMissing = true;
    callGuarded(frames::settingsEvent());
    EXPECT_EQ(seen.stackSize, 0u) << "a thread the host's callback runs on gets the default stack";
    EXPECT_EQ(seen.creationFlags, 0u);
    EXPECT_EQ(seen.boxStyle, static_cast<UINT>(MB_OK | MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND));
    EXPECT_EQ(seen.boxSteps, "PB") << "the module is pinned before the box, whose message loop may unload it";
    // The bad file set aside, then kept as the backup, then the default file moved in.
    EXPECT_EQ(seen.fileSteps, "FMMM") << "a rename alone may reach the disk before the bytes do";
    char windows[MAX_PATH] = "";
    GetSystemWindowsDirectoryA(windows, MAX_PATH);
    // Notepad by its full path (by its bare name it is planted easily), the
    // path in quotes; where Notepad was removed, the file by its association.
    const std::string path = dir_ + "missing\\dormex.ini", notepad = std::string(windows) + "\\notepad.exe";
    const std::string inNotepad = notepad + "|\"" + path + "\";";
    EXPECT_EQ(seen.launches, inNotepad + inNotepad + inNotepad + inNotepad + path + "|(null);");
}
