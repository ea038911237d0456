// Helpers shared by the tests.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
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

std::string ProgramWrapper() {
    const char* wrapper = std::getenv("ZOREL_TEST_WRAPPER");
    return wrapper != nullptr ? wrapper : "";
}

namespace {

// Runs a shell command line under the limits; the status as RunProgram gives it.
int RunShell(const std::string& command, RunLimits limits) {
#ifdef _WIN32
    (void)limits;
    return std::system(command.c_str());
#else
    // The limits are set in a child before the shell that starts the program; both keep them.
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (limits.fileSize != 0) {
            std::signal(SIGXFSZ, limits.fileSizeSignal ? SIG_DFL : SIG_IGN);
            const rlimit size{limits.fileSize, limits.fileSize};
            if (setrlimit(RLIMIT_FSIZE, &size) != 0) _exit(126);
        }
        if (limits.addressSpace != 0) {
            const rlimit space{limits.addressSpace, limits.addressSpace};
            if (setrlimit(RLIMIT_AS, &space) != 0) _exit(126);
        }
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int result = -1;
    if (child > 0 && waitpid(child, &result, 0) == child) {
        return WIFEXITED(result) ? WEXITSTATUS(result) : 128 + WTERMSIG(result);
    }
    return -1;
#endif
}

// The start of a command line that runs the program in folder.
std::string InFolder(const fs::path& folder) {
#ifdef _WIN32
    const char* const kChangeFolder = "cd /d ";  // cmd.exe: the drive changes too
#else
    const char* const kChangeFolder = "cd ";
#endif
    std::string wrapper = ProgramWrapper();
    if (!wrapper.empty()) wrapper += " ";
    return kChangeFolder + Quote(folder) + " && " + wrapper + Quote(ZOREL_BINARY);
}

}  // namespace

std::string RunProgram(const fs::path& folder, const std::string& input, int* status,
                       RunLimits limits) {
    ScratchDir io;
    WriteFile(io / "stdin", input);
    const std::string command =
        InFolder(folder) + " < " + Quote(io.path() / "stdin") + " > " + Quote(io.path() / "stdout");
    const int result = RunShell(command, limits);
    if (status != nullptr) *status = result;
    return ReadFile(io / "stdout");
}

CommandResult RunCommand(const fs::path& folder, const std::vector<std::string>& arguments,
                         RunLimits limits) {
    ScratchDir io;
    WriteFile(io / "stdin", "");
    std::string command = InFolder(folder);
    for (const std::string& argument : arguments) command += " \"" + argument + "\"";
    command += " < " + Quote(io.path() / "stdin") + " > " + Quote(io.path() / "stdout") + " 2> " +
               Quote(io.path() / "stderr");
    CommandResult result;
    result.status = RunShell(command, limits);
    result.out = ReadFile(io / "stdout");
    result.err = ReadFile(io / "stderr");
    return result;
}

std::vector<std::string> Messages(const std::string& output) {
    std::vector<std::string> messages;
    const std::string menu = kMenuScreen;
    std::size_t at = output.find(menu);
    while (at != std::string::npos) {
        const std::size_t start = at + menu.size();
        at = output.find(menu, start);
        messages.push_back(output.substr(start, at == std::string::npos ? at : at - start));
    }
    return messages;
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
