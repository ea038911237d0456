// Preloaded into the program (LD_PRELOAD), logs every fsync, fdatasync, rename and link it
// makes, one line each, to the file named by ZOREL_SYNC_LOG, then makes the call: the order in
// which a save reaches the disk. It also fails calls on request: ZOREL_FAIL_CLOSE=stream (or
// descriptor) makes every fclose (or close) of a regular file open for writing fail with EIO
// once it is closed, as a write-back error would; ZOREL_FAIL_RENAME=1 fails every rename with
// EIO; ZOREL_NO_TMPFILE=1 refuses nameless files, as a system without them does;
// ZOREL_NO_EMPTY_PATH=1 refuses links made through a descriptor alone, as the kernel refuses
// them to a user who is not root; ZOREL_NO_CODER_MEMORY=1 makes zlib's and libdeflate's
// compressors fail to be made, as they do without memory. <stdio.h>, which declares the renames and
// fclose, is left out: these definitions stand for them.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

template <typename Call>
Call Next(const char* name) {
    return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

bool Asked(const char* variable, const char* value) {
    const char* set = getenv(variable);
    return set != nullptr && strcmp(set, value) == 0;
}

// True, with errno set to error, when variable asks for the call to fail.
bool Refused(const char* variable, int error) {
    if (!Asked(variable, "1")) return false;
    errno = error;
    return true;
}

// A regular file open for writing: what a close failure is injected into.
bool Written(int fd) {
    struct stat info {};
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY && fstat(fd, &info) == 0 &&
           S_ISREG(info.st_mode);
}

void Log(const char* line) {
    const char* path = getenv("ZOREL_SYNC_LOG");
    if (path == nullptr) return;
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const ssize_t ignored = write(fd, line, strlen(line));  // one write: lines never mix
    (void)ignored;
    Next<int (*)(int)>("close")(fd);
}

void LogSync(const char* call, int fd) {
    struct stat info {};
    const bool folder = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    char line[32] = {};
    strcat(strcat(strcpy(line, call), folder ? " folder" : " file"), "\n");
    Log(line);
}

}  // namespace

extern "C" {

int fsync(int fd) {
    LogSync("fsync", fd);
    return Next<int (*)(int)>("fsync")(fd);
}

int fdatasync(int fd) {
    LogSync("fdatasync", fd);
    return Next<int (*)(int)>("fdatasync")(fd);
}

int rename(const char* from, const char* to) {
    Log("rename\n");
    if (Refused("ZOREL_FAIL_RENAME", EIO)) return -1;
    return Next<int (*)(const char*, const char*)>("rename")(from, to);
}

int renameat(int fromFolder, const char* from, int toFolder, const char* to) {
    Log("rename\n");
    if (Refused("ZOREL_FAIL_RENAME", EIO)) return -1;
    return Next<int (*)(int, const char*, int, const char*)>("renameat")(fromFolder, from, toFolder,
                                                                         to);
}

int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
    Log("rename\n");
    if (Refused("ZOREL_FAIL_RENAME", EIO)) return -1;
    return Next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(
        fromFolder, from, toFolder, to, flags);
}

int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
    Log("link\n");
    if ((flags & AT_EMPTY_PATH) != 0 && Refused("ZOREL_NO_EMPTY_PATH", ENOENT)) return -1;
    return Next<int (*)(int, const char*, int, const char*, int)>("linkat")(fromFolder, from,
                                                                            toFolder, to, flags);
}

struct _IO_FILE;
int fclose(_IO_FILE* file) {
    const int fd = file != nullptr ? Next<int (*)(_IO_FILE*)>("fileno")(file) : -1;
    const bool fail = fd >= 0 && Asked("ZOREL_FAIL_CLOSE", "stream") && Written(fd);
    const int result = Next<int (*)(_IO_FILE*)>("fclose")(file);
    if (!fail) return result;
    errno = EIO;
    return -1;
}

int close(int fd) {
    const bool fail = Asked("ZOREL_FAIL_CLOSE", "descriptor") && Written(fd);
    const int result = Next<int (*)(int)>("close")(fd);
    if (!fail) return result;
    errno = EIO;
    return -1;
}

int openat(int folder, const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    const bool made = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    const mode_t mode = made ? va_arg(rest, mode_t) : 0;
    va_end(rest);
    if ((flags & O_TMPFILE) == O_TMPFILE && Asked("ZOREL_NO_TMPFILE", "1")) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return Next<int (*)(int, const char*, int, ...)>("openat")(folder, path, flags, mode);
}

// zlib's deflateInit and libdeflate's compressor, declared here as their libraries define them.
int deflateInit_(void* stream, int level, const char* version, int size) {
    if (Asked("ZOREL_NO_CODER_MEMORY", "1")) return -4;  // Z_MEM_ERROR
    return Next<int (*)(void*, int, const char*, int)>("deflateInit_")(stream, level, version,
                                                                       size);
}

void* libdeflate_alloc_compressor(int level) {
    if (Asked("ZOREL_NO_CODER_MEMORY", "1")) return nullptr;
    return Next<void* (*)(int)>("libdeflate_alloc_compressor")(level);
}

}  // extern "C"
