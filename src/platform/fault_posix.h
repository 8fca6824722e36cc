// Failures on demand for the native build: the POSIX seam asks before each
// call whether this one should fail, so tests can make every call into the
// system fail in turn. The native build's test controls answer.
#pragma once

enum SeamCall {
    SEAM_OPEN,
    SEAM_CREATE,
    SEAM_READ,
    SEAM_WRITE,
    SEAM_FLUSH,
    SEAM_CLOSE,          // a file opened for reading
    SEAM_CLOSE_WRITTEN,  // a file opened for writing
    SEAM_MOVE,
    SEAM_REMOVE,
    SEAM_ALLOCATE,
    SEAM_SIGNAL,
    SEAM_THREAD,
    SEAM_ERROR_BOX,
    SEAM_LAUNCH,
    SEAM_WINDOWS_DIR,
    SEAM_CONVERT,
    SEAM_HOLD,
    SEAM_CALL_KINDS
};

// True when this call of `kind` is to fail as the system would fail it.
bool seamCallFails(SeamCall kind);
