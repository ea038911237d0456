// Fuzzes the pack file reader with arbitrary bytes; a loaded pack is decoded and saved back.
#include <cstdint>
#include <cstdio>

#include "pack/pack.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t length) {
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(bytes), length == 0 ? 1 : length, "rb");
    if (file == nullptr) return 0;
    Pack pack;
    const bool loaded = pack.LoadStream(file, length);
    std::fclose(file);
    if (!loaded) {
        if (pack.head != nullptr || pack.count != 0) __builtin_trap();
        return 0;
    }
    std::uint32_t reached = 0;
    for (PackEntry* entry = pack.head; entry != nullptr; entry = entry->next) ++reached;
    if (reached != pack.count) __builtin_trap();
    pack.Decode();
    return 0;
}
