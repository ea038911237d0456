// Fuzzes a save and a load: random entries, each plain or compressed, under a random pack
// flag and after a random encode or decode, must load back with the same names and bytes, and
// the loaded pack must save to the same file.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "pack/pack.h"

namespace {

constexpr std::size_t kMaxEntries = 24;
constexpr std::size_t kMaxChunk = 512;
constexpr std::uint32_t kMaxRepeat = 256;  // a chunk repeated gives large, compressible entries

struct Written {
    std::string name;
    std::string bytes;
};

// A scratch folder for this process, removed at exit (and so never destroyed before that).
const std::filesystem::path& ScratchFolder() {
    static const auto* folder = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "zorel-roundtrip-XXXXXX").string();
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(ScratchFolder(), ignored);
        });
        return new std::filesystem::path(pattern);
    }();
    return *folder;
}

std::string ReadAll(const std::string& path) {
    std::string bytes;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        char buffer[65536];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
            bytes.append(buffer, got);
        }
        std::fclose(file);
    }
    return bytes;
}

// The entry's plain bytes; decompresses a compressed entry in place.
std::string PlainBytes(PackEntry& entry) {
    entry.Decompress();
    FUZZ_CHECK(entry.compressed == 0);
    const unsigned char* bytes = entry.Lock();
    FUZZ_CHECK(bytes != nullptr);
    return std::string(reinterpret_cast<const char*>(bytes), entry.size);
}

}  // namespace

int FuzzRoundTrip(const std::uint8_t* bytes, std::size_t length) {
    FuzzInput in(bytes, length);
    Pack pack;
    std::vector<Written> written;
    pack.compressed = static_cast<std::uint8_t>(in.Number(1) % 3);  // 2 counts as compressed
    const unsigned action = in.Number(1);
    PackEntry* tail = nullptr;
    while (!in.empty() && written.size() < kMaxEntries) {
        Written w;
        std::size_t nameLength = 0;
        const std::uint8_t* name = in.Bytes(sizeof PackEntry::name - 1, &nameLength);
        w.name.assign(reinterpret_cast<const char*>(name), nameLength);
        w.name.resize(std::strlen(w.name.c_str()));  // a name ends at its first NUL
        std::size_t chunkLength = 0;
        const std::uint8_t* chunk = in.Bytes(kMaxChunk, &chunkLength);
        const std::uint32_t repeat = 1 + in.Number(2) % kMaxRepeat;
        for (std::uint32_t i = 0; i < repeat; ++i)
            w.bytes.append(reinterpret_cast<const char*>(chunk), chunkLength);
        if (w.bytes.empty()) w.bytes.push_back('-');  // no entry is empty

        auto* entry = new PackEntry;
        std::memcpy(entry->name, w.name.data(), w.name.size());
        entry->size = static_cast<std::uint32_t>(w.bytes.size());
        entry->storedSize = in.Number(1);  // a plain entry keeps whatever stored size it has
        entry->data = GlobalAlloc(GHND, w.bytes.size());
        std::memcpy(GlobalLock(entry->data), w.bytes.data(), w.bytes.size());
        GlobalUnlock(entry->data);
        if (in.Number(1) & 1) entry->Compress();
        (tail == nullptr ? pack.head : tail->next) = entry;
        tail = entry;
        ++pack.count;
        written.push_back(std::move(w));
    }
    if (action % 3 == 1) pack.Encode(1 + action / 3 % 3);
    if (action % 3 == 2) pack.Decode(1 + action / 3 % 3);

    const std::string path = (ScratchFolder() / "pack").string();
    FUZZ_CHECK(pack.Save(path.c_str()));
    const std::string file = ReadAll(path);
    Pack loaded;
    FUZZ_CHECK(loaded.Load(path.c_str()) ==
               (pack.count != 0));  // a pack file holds 1 entry or more
    FUZZ_CHECK(loaded.compressed == (pack.count != 0 ? pack.compressed : 0));
    FUZZ_CHECK(loaded.count == written.size());
    std::size_t at = 0;
    for (PackEntry* entry = loaded.head; entry != nullptr; entry = entry->next, ++at) {
        FUZZ_CHECK(entry->name == written[at].name);
        FUZZ_CHECK(PlainBytes(*entry) == written[at].bytes);
    }
    // The loaded pack, brought back into its form, saves to the very same file.
    if (loaded.count != 0) {
        FUZZ_CHECK(loaded.Save(path.c_str()));
        FUZZ_CHECK(ReadAll(path) == file);
    }
    return 0;
}

#ifndef ZOREL_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t length) {
    return FuzzRoundTrip(bytes, length);
}
#endif
