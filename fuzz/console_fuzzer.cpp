// Fuzzes the menu: the bytes are its standard input, run in a scratch folder of small files
// with its output thrown away. Every '/' becomes '_' and neither ".." nor ".z" survives, so no
// name reaches outside the folder or looks like the packer's temporary files (".zorel-*");
// files the menu writes are held to kMaxFile bytes, so each run is short. After each run the
// menu must have kept its folder and left no temporary file.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>

#include "console/console.h"
#include "fuzz/harness.h"
#include "pack/pack.h"

namespace {

namespace fs = std::filesystem;

constexpr rlim_t kMaxFile = 64 << 10;

void Write(const fs::path& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
    FUZZ_CHECK(std::fclose(file) == 0);
}

// The scratch folder: "fixtures" holds the files every run starts with, "run" is where the
// menu runs. Removed at exit (and so never destroyed before that).
const fs::path& Scratch() {
    static const auto* folder = [] {
        std::string pattern = (fs::temp_directory_path() / "zorel-console-XXXXXX").string();
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        const fs::path root = fs::canonical(pattern);
        const fs::path fixtures = root / "fixtures";
        fs::create_directories(fixtures / "d");
        Write(fixtures / "a.txt", "a small text file\n");
        std::string noise(40000, '\0');
        for (std::size_t i = 0; i < noise.size(); ++i) {
            noise[i] = static_cast<char>(i * 2654435761u >> 13);
        }
        Write(fixtures / "c.big", noise);
        Write(fixtures / "d/x", "x in d");
        Write(fixtures / "d/y", std::string(3000, 'y'));
        const fs::path home = fs::current_path();
        fs::current_path(fixtures);
        Pack pack;
        FUZZ_CHECK(pack.AddFile("a.txt") && pack.AddFile("d/y"));
        pack.Encode(1);
        FUZZ_CHECK(pack.Save("p.pak"));
        fs::current_path(home);
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(Scratch(), ignored);
        });
        return new fs::path(root);
    }();
    return *folder;
}

// True when no temporary file of the packer lies in folder or in a folder within it.
bool NoTemporaryFiles(const fs::path& folder) {
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->path().filename().string().rfind(".zorel-", 0) == 0) return false;
    }
    return !error;
}

}  // namespace

int FuzzConsole(const std::uint8_t* bytes, std::size_t length) {
    std::string script(reinterpret_cast<const char*>(bytes), length);
    for (std::size_t i = 0; i < script.size(); ++i) {
        const bool afterDot = i > 0 && script[i - 1] == '.';
        if (script[i] == '/' || (afterDot && (script[i] == '.' || script[i] == 'z'))) {
            script[i] = '_';
        }
    }
    const fs::path run = Scratch() / "run";
    std::error_code error;
    fs::remove_all(run, error);
    fs::copy(Scratch() / "fixtures", run, fs::copy_options::recursive, error);
    FUZZ_CHECK(!error);

    const int home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(home >= 0 && chdir(run.c_str()) == 0);
    rlimit limit{};
    FUZZ_CHECK(getrlimit(RLIMIT_FSIZE, &limit) == 0);
    const rlimit small{kMaxFile, limit.rlim_max};
    FUZZ_CHECK(setrlimit(RLIMIT_FSIZE, &small) == 0);
    auto xfsz = std::signal(SIGXFSZ, SIG_IGN);
    std::FILE* const in = script.empty() ? std::fopen("/dev/null", "rb")
                                         : fmemopen(script.data(), script.size(), "rb");
    std::FILE* const out = std::fopen("/dev/null", "wb");
    FUZZ_CHECK(in != nullptr && out != nullptr);
    std::FILE* const savedIn = stdin;
    std::FILE* const savedOut = stdout;
    stdin = in;
    stdout = out;

    const int status = RunMenu();

    stdin = savedIn;
    stdout = savedOut;
    std::fclose(in);
    std::fclose(out);
    std::signal(SIGXFSZ, xfsz);
    FUZZ_CHECK(setrlimit(RLIMIT_FSIZE, &limit) == 0);
    const bool stayed = fs::current_path(error) == run;
    FUZZ_CHECK(fchdir(home) == 0);
    close(home);
    FUZZ_CHECK(status == 0);
    FUZZ_CHECK(stayed);
    FUZZ_CHECK(NoTemporaryFiles(run));
    return 0;
}

#ifndef ZOREL_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t length) {
    return FuzzConsole(bytes, length);
}
#endif
