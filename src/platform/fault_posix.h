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
    SEAM_PIN,
    SEAM_ATTRIBUTES,
    SEAM_LOCK,  // a lock made or given back
    SEAM_CALL_KINDS
};

// True when this call of `kind` is to fail as the system would fail it.
bool seamCallFails(SeamCall kind);
// True when this call of `kind` (an open, move or remove) is to find its file
// held open by another program, as a virus scanner holds a file for a moment.
bool seamFileBusy(SeamCall kind);
