// The contents listing: one line per entry, then the totals; and names shown safely.
#include "report/listing.h"

#include "pack/pack.h"
#include "platform/platform.h"
#include "report/shown.h"

namespace {

constexpr double kKilobyte = 0.0009765625;  // 1/1024

// Per cent saved: negative when the stream is the larger; 0 when there is nothing to divide.
double Saving(double size, double stored) {
    return size == 0.0 ? 0.0 : (size - stored) * 100.0 / size;
}

}  // namespace

ShownName::ShownName(const char* name) {
    std::snprintf(text, sizeof text, "%s", name);
    ShowInPlace(text, platform::IsTerminal(stdout));
}

ContentsListing::ContentsListing(std::FILE* out, bool compressed)
    : out_(out), compressed_(compressed) {
    std::fputs("\n\n--[ Pack Countents ]----------------\n\n", out_);
    std::fputs("  Pack.Files { \n", out_);
}

void ContentsListing::Entry(const PackEntry& entry) {
    const double size = static_cast<double>(entry.size);
    const double stored = static_cast<double>(entry.storedSize);
    std::fprintf(out_, "  %3u: %-32s  %7.1f KB @ %7.1f KB [%.1f%%]\n", number_++,
                 ShownName(entry.name).text, size * kKilobyte, stored * kKilobyte,
                 compressed_ ? Saving(size, stored) : 0.0);
    sizeTotal_ += size;
    storedTotal_ += stored;
}

void ContentsListing::Finish(std::uint32_t count) {
    const double sizeTotal = sizeTotal_ * kKilobyte;
    const double storedTotal = storedTotal_ * kKilobyte;
    std::fputs("  };\n\n", out_);
    std::fprintf(out_, "  Number of Files:\t\t%u\n  Compressed:     \t\t%s\n\n",
                 static_cast<unsigned>(count), compressed_ ? "YES" : "NO");
    std::fprintf(out_, "  Total Size:     \t\t%.1f KB\n  Total Enc Size: \t\t%.1f KB\n", sizeTotal,
                 storedTotal);
    std::fprintf(out_, "  Total Compression:\t\t%.1f %%\n\n",
                 compressed_ ? Saving(sizeTotal, storedTotal) : 0.0);
}
