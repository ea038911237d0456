// Whole-or-nothing file replacement, the parts every system shares: the file made in an open
// folder, the list of named temporary files an ending signal removes, and the name changes it
// waits for. Making, naming and putting the file in place is the system's own
// (posix/atomic_file.cpp, win32/atomic_file.cpp).
#include "platform/atomic_file.h"

#include <cstring>
#include <new>

#include "platform/internal.h"
#include "platform/lock.h"
#include "platform/process.h"

namespace platform {

namespace {

// A slot is free (0), being filled (1), armed (2) or taken by the cleanup (3). Slots are taken
// and given up inside a NameChange, and the cleanup walks them once no NameChange is under way.
struct Slot {
    std::atomic<int> state{0};
    const Folder* folder = nullptr;
    char name[48] = {};
};

constexpr int kSlots = 256;  // one per thread writing a file at once is enough
Slot gSlots[kSlots];
std::atomic<unsigned> gSerial{0};
std::atomic<int> gChanging{0};  // NameChanges under way
std::atomic<bool> gEnding{false};

bool IsSeparator(char c) {
    // Windows also ends a drive's part at its colon: "C:name".
    return c == '/' || c == kPathSeparator || (kPathSeparator == '\\' && c == ':');
}

}  // namespace

void SplitPath(const std::string& path, std::string* folder, std::string* name) {
    std::size_t start = 0;  // where the name begins, after the folder part
    for (std::size_t at = 0; at < path.size(); ++at) {
        if (IsSeparator(path[at])) start = at + 1;
    }
    *name = path.substr(start);
    *folder = start == 0 ? std::string(1, '.') : path.substr(0, start);
}

AtomicFile::AtomicFile(const Folder& folder, const char* name, bool durable)
    : folder_(&folder), durable_(durable) {
    try {
        if (name != nullptr) name_ = name;
    } catch (const std::bad_alloc&) {
        reason_ = kErrorNoMemory;
        return;
    }
    Start();
}

void AtomicFile::Refuse(Reason why) {
    reason_ = why == 0 ? kErrorFailed : why;
    Abandon();
}

char EndingText::text[256];
std::atomic<int> EndingText::length{0};

void SetEndingText(const char* text) {
    EndingText::length.store(0);
    std::size_t length = text == nullptr ? 0 : std::strlen(text);
    if (length >= sizeof EndingText::text) length = sizeof EndingText::text - 1;
    if (length != 0) std::memcpy(EndingText::text, text, length);
    InstallEndingWriter();
    EndingText::length.store(static_cast<int>(length));
}

NameChange::NameChange() {
    TempFiles::HoldSignals();
    // Sequentially consistent with RemoveAll: either it sees this change under way, or this
    // sees that the program is ending.
    gChanging.fetch_add(1);
    if (gEnding.load()) {
        gChanging.fetch_sub(1);
        TempFiles::AwaitTheEnd();
    }
}

NameChange::~NameChange() {
    gChanging.fetch_sub(1);
    TempFiles::ReleaseSignals();
}

void TempFiles::Name(char (&name)[48]) {
    // The start time is asked once per process, not once per file (a child made by fork asks
    // again).
    static std::atomic<long> known{0};
    static std::atomic<unsigned> start{0};
    const long pid = ProcessId();
    if (known.load() != pid) {
        start.store(StartOf(pid));
        known.store(pid);
    }
    std::snprintf(name, sizeof name, ".zorel-%08x-%lx-%08x-%x.tmp", SystemTag(), pid, start.load(),
                  gSerial.fetch_add(1));
}

bool TempFiles::Stale(const char* name) {
    unsigned tag = 0, start = 0, serial = 0;
    long pid = 0;
    int end = 0;
    if (std::strncmp(name, ".zorel-", 7) != 0 ||
        std::sscanf(name, ".zorel-%8x-%lx-%8x-%x.tmp%n", &tag, &pid, &start, &serial, &end) != 4 ||
        name[end] != '\0' || tag == 0 || tag != SystemTag() || start == 0) {
        return false;
    }
    char again[48];  // only a name exactly as Name writes it
    std::snprintf(again, sizeof again, ".zorel-%08x-%lx-%08x-%x.tmp", tag, pid, start, serial);
    return std::strcmp(again, name) == 0 && Ended(pid, start);
}

std::uint32_t NameHash(const char* text, std::size_t length) {
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < length; ++i) {
        hash = (hash ^ static_cast<unsigned char>(text[i])) * 16777619u;
    }
    return hash == 0 ? 1 : hash;
}

void ClearStaleTempFilesBeside(const std::string& path) {
    std::string folder, name;
    try {
        SplitPath(path, &folder, &name);
    } catch (const std::bad_alloc&) {
        return;  // the next writer clears them
    }
    ClearStaleTempFiles(folder.c_str());
}

std::string LockPathOf(const std::string& path) {
    std::string folder, name;
    SplitPath(path, &folder, &name);
    // A long name stands as its hash, so that the lock's name is never too long for a folder.
    if (name.size() > 200) {
        char hash[16];
        std::snprintf(hash, sizeof hash, "%08x", NameHash(name.data(), name.size()));
        name = hash;
    }
    if (folder == ".") folder.clear();  // a bare name: the lock's is bare too
    return folder + ".zorel-" + name + ".lock";
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
    // the cleanup uses.
    if (!gSlots[slot].state.compare_exchange_strong(armed, 0)) AwaitTheEnd();
}

void TempFiles::RemoveAll() {
    gEnding.store(true);
    while (gChanging.load() != 0) Nap();
    for (Slot& slot : gSlots) {
        int armed = 2;
        if (slot.state.compare_exchange_strong(armed, 3)) RemoveOne(*slot.folder, slot.name);
    }
}

}  // namespace platform
