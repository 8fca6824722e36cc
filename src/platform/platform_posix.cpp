// The operating system seam's file access on POSIX: real files, refused like
// Windows refuses them. The rest of the seam on a native build (clock, waits,
// threads, desktop, code addresses) is the test stand-in in tests/support.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/fault_posix.h"
#include "platform/platform.h"

namespace {

int descriptorOf(PlatformFile* file) { return static_cast<int>(reinterpret_cast<intptr_t>(file)) - 1; }

PlatformFile* fileOf(int descriptor) {
    return descriptor < 0 ? nullptr : reinterpret_cast<PlatformFile*>(static_cast<intptr_t>(descriptor) + 1);
}

FileRefusal refusalOf(int error) {
    if (error == ENOENT || error == ENOTDIR) return REFUSED_MISSING;
    if (error == EEXIST || error == ENOTEMPTY) return REFUSED_EXISTS;
    return error == EBUSY || error == ETXTBSY ? REFUSED_BUSY : REFUSED_FOR_GOOD;
}

// Asks the failure hook first: the call fails, or finds its file held by another program.
bool refusedByHook(SeamCall kind, FileRefusal* refusal) {
    if (seamCallFails(kind)) {
        *refusal = REFUSED_FOR_GOOD;
        return true;
    }
    if (!seamFileBusy(kind)) return false;
    *refusal = REFUSED_BUSY;
    return true;
}

}  // namespace

// Files here have no sharing modes: a reader never keeps others out.
PlatformFile* openFileForReading(const char* path, FileRefusal* refusal, bool) {
    if (refusedByHook(SEAM_OPEN, refusal)) return nullptr;
    const int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) *refusal = refusalOf(errno);
    struct stat status;
    // Like Windows, a directory is not a file that can be opened for reading.
    if (descriptor >= 0 && (fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode))) {
        close(descriptor);
        *refusal = REFUSED_FOR_GOOD;
        return nullptr;
    }
    return fileOf(descriptor);
}

PlatformFile* createNewFile(const char* path, FileRefusal* refusal) {
    if (refusedByHook(SEAM_CREATE, refusal)) return nullptr;
    const int descriptor = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (descriptor < 0) *refusal = errno == EEXIST ? REFUSED_EXISTS : REFUSED_FOR_GOOD;
    return fileOf(descriptor);
}

bool readFileChunk(PlatformFile* file, void* buffer, uint32_t capacity, uint32_t* got) {
    *got = 0;
    if (seamCallFails(SEAM_READ)) return false;
    ssize_t n;
    do {
        n = read(descriptorOf(file), buffer, capacity);
    } while (n < 0 && errno == EINTR);
    *got = n > 0 ? static_cast<uint32_t>(n) : 0;
    return n >= 0;
}

bool writeFileBytes(PlatformFile* file, const void* bytes, uint32_t size) {
    // A failed write may still have put part of the bytes in the file.
    if (seamCallFails(SEAM_WRITE)) {
        const ssize_t partial = write(descriptorOf(file), bytes, size / 2);
        (void)partial;
        return false;
    }
    const ssize_t n = write(descriptorOf(file), bytes, size);
    return n == static_cast<ssize_t>(size);
}

bool flushFile(PlatformFile* file) { return !seamCallFails(SEAM_FLUSH) && fsync(descriptorOf(file)) == 0; }

bool closeFile(PlatformFile* file) {
    const bool written = (fcntl(descriptorOf(file), F_GETFL) & O_ACCMODE) != O_RDONLY;
    const bool fails = seamCallFails(written ? SEAM_CLOSE_WRITTEN : SEAM_CLOSE);
    return close(descriptorOf(file)) == 0 && !fails;
}

bool moveFileIntoPlace(const char* from, const char* to, bool replace, FileRefusal* refusal) {
    if (refusedByHook(SEAM_MOVE, refusal)) return false;
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, replace ? 0 : RENAME_NOREPLACE) == 0) return true;
    *refusal = refusalOf(errno);
    return false;
}

bool removeFile(const char* path, FileRefusal* refusal) {
    if (refusedByHook(SEAM_REMOVE, refusal)) return false;
    if (unlink(path) == 0) return true;
    *refusal = refusalOf(errno);
    return false;
}

bool isReadOnlyFile(const char* path) {
    struct stat status;
    // Windows' read-only mark is a file without any write permission here, as Wine maps it.
    return !seamCallFails(SEAM_ATTRIBUTES) && stat(path, &status) == 0 && (status.st_mode & 0222) == 0;
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(PlatformLock), "a mutex fits");

// Zero is PTHREAD_MUTEX_INITIALIZER with the C library this builds on, so a
// zero-filled lock that was never prepared works too.
bool prepareLock(PlatformLock* lock) {
    return !seamCallFails(SEAM_LOCK) &&
           pthread_mutex_init(reinterpret_cast<pthread_mutex_t*>(lock->storage), nullptr) == 0;
}

void disposeLock(PlatformLock* lock) {
    // Asked only to be counted: a test tells from the count what was given back.
    seamCallFails(SEAM_LOCK);
    pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(lock->storage));
}

void takeLock(PlatformLock* lock) { pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(lock->storage)); }

void releaseLock(PlatformLock* lock) {
    pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t*>(lock->storage));
}
