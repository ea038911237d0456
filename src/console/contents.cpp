// The contents listing: one line per entry, then the totals.
#include <cstdio>

#include "console/console.h"
#include "pack/pack.h"
#include "platform/platform.h"

namespace {

constexpr double kKilobyte = 0.0009765625;  // 1/1024

// Per cent saved: negative when the stream is the larger; 0 when there is nothing to divide.
double Saving(double size, double stored) {
    return size == 0.0 ? 0.0 : (size - stored) * 100.0 / size;
}

}  // namespace

ShownName::ShownName(const char* name) {
    std::snprintf(text, sizeof text, "%s", name);
    if (!platform::OutputIsTerminal()) return;
    // A pack file's names are not to steer the terminal: no escape sequence reaches it.
    for (char* c = text; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f) *c = '?';
    }
}

void ShowContents(const Pack& pack) {
    const bool compressed = pack.IsCompressed() != 0;
    platform::ClearScreen();
    std::fputs("\n\n--[ Pack Countents ]----------------\n\n", stdout);
    std::fputs("  Pack.Files { \n", stdout);

    double sizeTotal = 0.0;
    double storedTotal = 0.0;
    unsigned number = 1;
    for (const PackEntry* entry = pack.First(); entry != nullptr; entry = entry->next, ++number) {
        const double size = static_cast<double>(entry->size);
        const double stored = static_cast<double>(entry->storedSize);
        std::printf("  %3u: %-32s  %7.1f KB @ %7.1f KB [%.1f%%]\n", number,
                    ShownName(entry->name).text, size * kKilobyte, stored * kKilobyte,
                    compressed ? Saving(size, stored) : 0.0);
        sizeTotal += size;
        storedTotal += stored;
    }
    sizeTotal *= kKilobyte;
    storedTotal *= kKilobyte;

    std::fputs("  };\n\n", stdout);
    std::printf("  Number of Files:\t\t%u\n  Compressed:     \t\t%s\n\n",
                static_cast<unsigned>(pack.Count()), compressed ? "YES" : "NO");
    std::printf("  Total Size:     \t\t%.1f KB\n  Total Enc Size: \t\t%.1f KB\n", sizeTotal,
                storedTotal);
    std::printf("  Total Compression:\t\t%.1f %%\n\n",
                compressed ? Saving(sizeTotal, storedTotal) : 0.0);
}
