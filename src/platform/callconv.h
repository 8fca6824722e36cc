// Calling convention of the Windows API, which the host uses both ways.
#pragma once

#if defined(_WIN32)
#define DORMEX_STDCALL __stdcall
#else
#define DORMEX_STDCALL
#endif
