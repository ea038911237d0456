// The lines of a pack's items in `list -1`, `-0` and `-l`.
#include "report/item_listing.h"

#include <cstdio>

#include "platform/platform.h"

using descriptions::Item;
using descriptions::Kind;

namespace {

constexpr std::int64_t kNsPerSecond = 1000000000;
constexpr char kUnknownTime[] = "\?\?\?\?-\?\?-\?\? \?\?:\?\?";  // a time the pack does not keep

// "YYYY-MM-DD HH:MM" in local time, or question marks where the system cannot tell it.
std::string DateAndTime(std::int64_t mtimeNs) {
    std::int64_t seconds = mtimeNs / kNsPerSecond;
    if (mtimeNs % kNsPerSecond < 0) --seconds;  // before 1970: the second it falls in
    platform::CalendarTime at{};
    if (!platform::LocalTime(seconds, &at)) return kUnknownTime;
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02d %02d:%02d", at.year, at.month, at.day,
                  at.hour, at.minute);
    return text;
}

std::string Line(const std::string& mode, std::uint32_t size, const std::string& when,
                 const std::string& path) {
    char sizeText[16];
    std::snprintf(sizeText, sizeof sizeText, "%10u", static_cast<unsigned>(size));
    return mode + " " + sizeText + " " + when + " " + path;
}

}  // namespace

std::string ListedPath(const Item& item) {
    return item.kind == Kind::kFolder ? item.path + "/" : item.path;
}

std::string ModeString(Kind kind, std::uint32_t mode) {
    std::string text = "-rwxrwxrwx";
    text[0] = kind == Kind::kFolder     ? 'd'
              : kind == Kind::kSymlink  ? 'l'
              : kind == Kind::kHardLink ? 'h'
                                        : '-';
    for (int bit = 0; bit < 9; ++bit) {
        if ((mode & (0400u >> bit)) == 0) text[1 + bit] = '-';
    }
    // Set-user-ID, set-group-ID and sticky take the place of an execute bit: lower case over
    // one that is set, upper case over one that is not.
    const struct {
        std::uint32_t bit;
        std::size_t at;
        char letter;
    } kSpecial[] = {{04000, 3, 's'}, {02000, 6, 's'}, {01000, 9, 't'}};
    for (const auto& special : kSpecial) {
        if ((mode & special.bit) == 0) continue;
        text[special.at] =
            text[special.at] == '-' ? static_cast<char>(special.letter - 32) : special.letter;
    }
    return text;
}

std::string LongLine(const Item& item) {
    // A folder, a link and an empty file hold no bytes (an empty file's entry holds one).
    const bool bytes = descriptions::HasEntry(item.kind) && item.kind != Kind::kEmpty;
    std::string line = Line(ModeString(item.kind, item.mode), bytes ? item.size : 0,
                            DateAndTime(item.mtimeNs), ListedPath(item));
    if (item.kind == Kind::kSymlink) line += " -> " + item.target;
    if (item.kind == Kind::kHardLink) line += " link to " + item.target;
    return line;
}

std::string LongLine(const char* stored, std::uint32_t size) {
    return Line("-?????????", size, kUnknownTime, stored);
}
