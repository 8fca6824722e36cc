// The stack cookie's guard value and its failure routine, which the compiler's
// -fstack-protector code reads and calls; with no C runtime linked, the DLL
// brings its own. Built without link-time optimisation: the compiler adds the
// references only when it writes the code, too late for the LTO plug-in to see.
#include "platform/stack_guard_win32.h"

#include <windows.h>

#include <cstdint>

#include "platform/guard_mix.h"

extern "C" {

// Used only until the entry point seeds it; never zero, so a cookie that was
// cleared along with its neighbours does not pass.
uintptr_t __stack_chk_guard = 0xBB40E64E;

// A cookie did not match: the stack is smashed. End the process at once, with
// nothing on the way that the overrun may have reached: no return, no handler,
// no unwinding.
__attribute__((noreturn, no_stack_protector)) void __stack_chk_fail() {
    // The pseudo handle of the current process, (HANDLE)-1: one import less.
    // Ending its own process, TerminateProcess does not return; should it
    // ever, the thread goes no further. (The fast-fail interrupt would do on
    // Windows 8 and later only; before, it is an exception a handler can catch.)
    const HANDLE thisProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
    for (;;) TerminateProcess(thisProcess, STATUS_STACK_BUFFER_OVERRUN);
}

}  // extern "C"

// Its own frame carries no cookie: it changes the value the check would compare.
__attribute__((no_stack_protector)) void seedStackGuard() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    // The clock and the counter differ from boot to boot and from call to
    // call; the process id and, under ASLR, the loader's stack from process to process.
    const uint32_t sources[] = {
        now.dwLowDateTime,     now.dwHighDateTime,
        counter.LowPart,       static_cast<uint32_t>(counter.HighPart),
        GetCurrentProcessId(), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&counter))};
    const uint32_t guard = mixGuardSources(sources, sizeof sources / sizeof sources[0]);
    if (guard != 0) __stack_chk_guard = guard;
}
