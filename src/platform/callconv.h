// How the plug-in's functions are called and built: the calling convention
// of the Windows API, which the host uses both ways, and the functions that
// need no stack cookie.
#pragma once

#if defined(_WIN32)
#define DORMEX_STDCALL __stdcall
#else
#define DORMEX_STDCALL
#endif

// For a function whose only locals in memory are numbers or small records,
// passed by address to functions that fill them, and whose callees keep
// their own buffers: there is nothing on its stack to overrun, so a stack
// cookie would only cost code.
#define DORMEX_NO_BUFFER __attribute__((no_stack_protector))
