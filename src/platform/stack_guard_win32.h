// The DLL's own stack cookie guard (stack_guard_win32.cpp).
#pragma once

// Gives the guard a value of this process and boot. The entry point calls it at
// process attach, before any function that checks a cookie has run; a frame
// that is live across the call must carry no cookie.
void seedStackGuard();
