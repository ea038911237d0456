// Helpers shared by the tests.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#ifndef _WIN32
#include <sys/wait.h>
#endif

ScratchDir::ScratchDir() {
    std::random_device random;
    for (;;) {
        path_ = fs::temp_directory_path() / ("zorel-test-" + std::to_string(random()));
        if (fs::create_directory(path_)) break;
    }
    path_ = fs::canonical(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    // Undo read-only modes a test may have left, so that everything can be removed.
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (!it->is_symlink(ignored)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    }
    fs::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string BlockBytes(PackEntry& entry) {
    const std::uint32_t length = entry.compressed != 0 ? entry.storedSize : entry.size;
    auto* bytes = static_cast<const char*>(GlobalLock(entry.data));
    if (bytes == nullptr) return std::string();
    std::string copy(bytes, length);
    GlobalUnlock(entry.data);
    return copy;
}

PackEntry* MakeEntry(const std::string& name, const std::string& bytes) {
    auto* entry = new PackEntry;
    std::strncpy(entry->name, name.c_str(), sizeof entry->name - 1);
    entry->size = static_cast<std::uint32_t>(bytes.size());
    entry->data = GlobalAlloc(GHND, bytes.size());
    if (!bytes.empty()) {
        std::memcpy(GlobalLock(entry->data), bytes.data(), bytes.size());
        GlobalUnlock(entry->data);
    }
    return entry;
}

void Append(Pack& pack, PackEntry* entry) {
    PackEntry** link = &pack.head;
    while (*link != nullptr) link = &(*link)->next;
    *link = entry;
    ++pack.count;
}

std::string Names(const Pack& pack) {
    std::string names;
    for (const PackEntry* entry = pack.head; entry != nullptr; entry = entry->next) {
        if (!names.empty()) names += ",";
        names += entry->name;
    }
    return names;
}

int TempFilesIn(const fs::path& folder) {
    int found = 0;
    for (const auto& item : fs::directory_iterator(folder)) {
        if (item.path().filename().string().rfind(".zorel-", 0) == 0) ++found;
    }
    return found;
}

std::string ConsoleText(const std::string& text) {
#ifdef _WIN32
    std::string lines;
    for (const char c : text) {
        if (c == '\n') lines += '\r';
        lines += c;
    }
    return lines;
#else
    return text;
#endif
}

namespace {
std::string Quote(fs::path path) {
    return "\"" + path.make_preferred().string() + "\"";
}
}  // namespace

std::string RunProgram(const fs::path& folder, const std::string& input, int* status) {
    ScratchDir io;
    WriteFile(io / "stdin", input);
#ifdef _WIN32
    const char* const kChangeFolder = "cd /d ";  // cmd.exe: the drive changes too
#else
    const char* const kChangeFolder = "cd ";
#endif
    const std::string command = kChangeFolder + Quote(folder) + " && " + Quote(ZOREL_BINARY) +
                                " < " + Quote(io.path() / "stdin") + " > " +
                                Quote(io.path() / "stdout");
    int result = std::system(command.c_str());
#ifndef _WIN32
    if (result != -1 && WIFEXITED(result)) result = WEXITSTATUS(result);
#endif
    if (status != nullptr) *status = result;
    return ReadFile(io / "stdout");
}

const char* const kMenuScreen =
    "=======================[-][o][x]=\n"
    " ****  Zorel File Packer  **** \n"
    "=[<]=============================\n"
    "\n"
    "========= [ MENU ] ==========[.]=\n"
    "  1. Load Pack file\n"
    "  2. Save Pack file\n"
    "  3. Pack an entire folder into one file\n"
    "  4. UnPack loaded file to multiple\n"
    "  5. Add to the pack\n"
    "  6. Remove from the pack\n"
    "  7. Display contents of pack\n"
    "  8. Encode pack\n"
    "  9. Decode pack\n"
    "\n"
    "  f. Find a file in the pack\n"
    "\n"
    "  0. Exit\n"
    "\n"
    "  > ";
