// Preloaded into the program (LD_PRELOAD), logs every fsync, fdatasync, rename and link it
// makes, one line each, to the file named by ZOREL_SYNC_LOG, then makes the call: the order in
// which a save reaches the disk. <stdio.h>, which declares the renames, is left out: these
// definitions stand for them.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void Log(const char* line) {
    const char* path = getenv("ZOREL_SYNC_LOG");
    if (path == nullptr) return;
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const ssize_t ignored = write(fd, line, strlen(line));  // one write: lines never mix
    (void)ignored;
    close(fd);
}

void LogSync(const char* call, int fd) {
    struct stat info {};
    const bool folder = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    char line[32] = {};
    strcat(strcat(strcpy(line, call), folder ? " folder" : " file"), "\n");
    Log(line);
}

template <typename Call>
Call Next(const char* name) {
    return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
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
    return Next<int (*)(const char*, const char*)>("rename")(from, to);
}

int renameat(int fromFolder, const char* from, int toFolder, const char* to) {
    Log("rename\n");
    return Next<int (*)(int, const char*, int, const char*)>("renameat")(fromFolder, from, toFolder,
                                                                         to);
}

int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
    Log("rename\n");
    return Next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(
        fromFolder, from, toFolder, to, flags);
}

int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
    Log("link\n");
    return Next<int (*)(int, const char*, int, const char*, int)>("linkat")(fromFolder, from,
                                                                            toFolder, to, flags);
}

}  // extern "C"
