// Helpers shared by the tests.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#ifndef _WIN32
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#endif

ScratchDir::ScratchDir(const fs::path& base) {
    std::random_device random;
    for (;;) {
        path_ = base / ("zorel-test-" + std::to_string(random()));
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
    pack.Append(entry);
}

std::string Numbered(const char* prefix, std::uint32_t number) {
    std::string name = prefix;
    name += std::to_string(number);
    return name;
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
    std::string quoted = "\"";
    quoted += path.make_preferred().string();
    quoted += '"';
    return quoted;
}
}  // namespace

std::string ProgramWrapper() {
    const char* wrapper = std::getenv("ZOREL_TEST_WRAPPER");
    return wrapper != nullptr ? wrapper : "";
}

#ifndef _WIN32
namespace {

// Starts `sh -c command` under the limits, its standard output on a pipe read at *output and,
// when input is not null, its standard input on a pipe written at *input. The child's id, or -1.
pid_t Start(const std::string& command, RunLimits limits, int* output, int* input) {
    int out[2] = {-1, -1}, in[2] = {-1, -1};
    if (pipe(out) != 0 || (input != nullptr && pipe(in) != 0)) return -1;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        if (input != nullptr) dup2(in[0], STDIN_FILENO);
        for (const int fd : {out[0], out[1], in[0], in[1]}) {
            if (fd >= 0) close(fd);
        }
        std::signal(SIGPIPE, SIG_DFL);  // a reader that stops ends the program
        // The limits are set before the shell that starts the program; both keep them.
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
    close(out[1]);
    *output = out[0];
    if (input != nullptr) {
        close(in[0]);
        *input = in[1];
    }
    return child;
}

// Reads output into *said until it ends with `until` (never, when empty), the program closes
// it, the output reaches kProgramOutputLimit or, with a wait, no byte comes for that many
// milliseconds. True when `until` was seen or the output ended.
bool ReadUntil(int fd, std::string* said, const std::string& until, int wait = -1) {
    char buffer[1 << 16];
    for (;;) {
        if (!until.empty() && said->size() >= until.size() &&
            said->compare(said->size() - until.size(), until.size(), until) == 0) {
            return true;
        }
        pollfd ready{fd, POLLIN, 0};
        if (said->size() >= kProgramOutputLimit || poll(&ready, 1, wait) <= 0) return false;
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return until.empty();
        said->append(buffer,
                     std::min(static_cast<std::size_t>(got), kProgramOutputLimit - said->size()));
    }
}

// Waits for the program: its exit code, or 128 plus the signal that ended it; -1 without one.
int Finish(pid_t child) {
    int result = -1;
    if (child <= 0 || waitpid(child, &result, 0) != child) return -1;
    return WIFEXITED(result) ? WEXITSTATUS(result) : 128 + WTERMSIG(result);
}

std::string ProgramCommand(const fs::path& folder) {
    std::string wrapper = ProgramWrapper();
    if (!wrapper.empty()) wrapper += " ";
    return "cd " + Quote(folder) + " && exec " + wrapper + Quote(ZOREL_BINARY);
}

}  // namespace

std::string RunProgram(const fs::path& folder, const std::string& input, int* status,
                       RunLimits limits) {
    ScratchDir io;
    WriteFile(io / "stdin", input);
    int output = -1;
    const pid_t child = Start(ProgramCommand(folder) + " < " + Quote(io.path() / "stdin"), limits,
                              &output, nullptr);
    std::string said;
    if (child > 0) ReadUntil(output, &said, "");
    if (output >= 0) close(output);  // past the limit the program meets a closed pipe
    const int result = Finish(child);
    if (status != nullptr) *status = result;
    return said;
}

CommandResult RunCommand(const fs::path& folder, const std::vector<std::string>& arguments,
                         RunLimits limits, const std::string& piped) {
    ScratchDir io;
    WriteFile(io / "stdin", "");
    std::string command = ProgramCommand(folder);
    if (!piped.empty()) {
        command.insert(command.find("exec "), "cat " + Quote(folder / piped) + " | ");
    }
    for (const std::string& argument : arguments) command += " \"" + argument + "\"";
    if (piped.empty()) command += " < " + Quote(io.path() / "stdin");
    command += " 2> " + Quote(io.path() / "stderr");
    int output = -1;
    const pid_t child = Start(command, limits, &output, nullptr);
    CommandResult result;
    if (child > 0) ReadUntil(output, &result.out, "");
    if (output >= 0) close(output);
    result.status = Finish(child);
    result.err = ReadFile(io / "stderr");
    return result;
}

bool Converse(const fs::path& folder, const std::vector<Exchange>& exchanges, std::string* said) {
    int output = -1, input = -1;
    const pid_t child = Start(ProgramCommand(folder), RunLimits{}, &output, &input);
    if (child < 0) return false;
    const auto previous = std::signal(SIGPIPE, SIG_IGN);  // a program that ended fails a write
    bool prompted = true;
    for (const Exchange& exchange : exchanges) {
        constexpr int kPromptWait = 30000;  // milliseconds, enough for valgrind
        prompted = ReadUntil(output, said, exchange.prompt, kPromptWait) &&
                   write(input, exchange.reply.data(), exchange.reply.size()) ==
                       static_cast<ssize_t>(exchange.reply.size());
        if (!prompted) break;
    }
    close(input);
    if (prompted) ReadUntil(output, said, "");
    close(output);
    std::signal(SIGPIPE, previous);
    return Finish(child) == 0 && prompted;
}

#else

namespace {

// Runs the program in folder through cmd.exe with arguments, its standard input from a file
// holding input; its standard output (at most kProgramOutputLimit bytes) and standard error.
CommandResult RunThroughShell(const fs::path& folder, const std::string& arguments,
                              const std::string& input) {
    ScratchDir io;
    // Written through a handle no child inherits: a command started meanwhile on another thread
    // would hold it open for writing, and this command's shell could not read its input.
    std::FILE* in_file = std::fopen((io / "stdin").c_str(), "wbN");
    EXPECT_TRUE(in_file != nullptr &&
                std::fwrite(input.data(), 1, input.size(), in_file) == input.size());
    if (in_file != nullptr) std::fclose(in_file);
    std::string wrapper = ProgramWrapper();
    if (!wrapper.empty()) wrapper += " ";
    // cmd.exe: "cd /d" changes the drive too.
    const std::string command = "cd /d " + Quote(folder) + " && " + wrapper + Quote(ZOREL_BINARY) +
                                arguments + " < " + Quote(io.path() / "stdin") + " > " +
                                Quote(io.path() / "stdout") + " 2> " + Quote(io.path() / "stderr");
    CommandResult result;
    result.status = std::system(command.c_str());
    std::ifstream in(io / "stdout", std::ios::binary);
    result.out.assign(kProgramOutputLimit, '\0');
    in.read(result.out.data(), static_cast<std::streamsize>(result.out.size()));
    result.out.resize(static_cast<std::size_t>(in.gcount()));
    result.err = ReadFile(io / "stderr");
    return result;
}

}  // namespace

std::string RunProgram(const fs::path& folder, const std::string& input, int* status,
                       RunLimits /*limits*/) {
    CommandResult result = RunThroughShell(folder, "", input);
    if (status != nullptr) *status = result.status;
    return result.out;
}

CommandResult RunCommand(const fs::path& folder, const std::vector<std::string>& arguments,
                         RunLimits /*limits*/, const std::string& piped) {
    std::string line;
    for (const std::string& argument : arguments) line += " \"" + argument + "\"";
    return RunThroughShell(folder, line, piped.empty() ? "" : ReadFile((folder / piped).string()));
}

#endif

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
