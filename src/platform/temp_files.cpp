// The list of named temporary files that an ending signal removes. Lock-free, so that a POSIX
// signal handler may walk it: a slot is free (0), being filled (1), armed (2) or taken by the
// cleanup (3).
#include "platform/temp_files.h"

#include <cstdio>
#include <cstring>

namespace platform {

namespace {

struct Slot {
    std::atomic<int> state{0};
    const Folder* folder = nullptr;
    char name[48] = {};
};

constexpr int kSlots = 256;  // one per thread writing a file at once is enough
Slot gSlots[kSlots];
std::atomic<unsigned> gSerial{0};

}  // namespace

void TempFiles::Name(char (&name)[48]) {
    static const long pid = ProcessId();  // asked once, not once per file
    std::snprintf(name, sizeof name, ".zorel-%ld-%u.tmp", pid, gSerial.fetch_add(1));
}

int TempFiles::Add(const Folder& folder, const char* name) {
    InstallCleanup();
    for (int i = 0; i < kSlots; ++i) {
        int free = 0;
        if (!gSlots[i].state.compare_exchange_strong(free, 1)) continue;
        gSlots[i].folder = &folder;
        std::memcpy(gSlots[i].name, name, sizeof gSlots[i].name);
        gSlots[i].state.store(2);
        return i;
    }
    return -1;
}

void TempFiles::Drop(int slot) {
    if (slot < 0) return;
    int armed = 2;
    // Taken by the cleanup: the program is ending, and this thread must not close the folder
    // the cleanup is about to use.
    if (!gSlots[slot].state.compare_exchange_strong(armed, 0)) AwaitTheEnd();
}

void TempFiles::RemoveAll() {
    for (Slot& slot : gSlots) {
        int armed = 2;
        if (slot.state.compare_exchange_strong(armed, 3)) RemoveOne(*slot.folder, slot.name);
    }
}

}  // namespace platform
