// The menu loop: one key per pass, one operation per key, one message per operation.
#include <cstdio>
#include <limits>
#include <new>
#include <string>

#include "console/console.h"
#include "console/line_editor.h"
#include "pack/pack.h"
#include "platform/platform.h"
#include "report/listing.h"
#include "report/progress_line.h"
#include "report/shown.h"

namespace {

constexpr const char* kBanner =
    "=======================[-][o][x]=\n"
    " ****  Zorel File Packer  **** \n"
    "=[<]=============================\n\n";
constexpr const char* kMenu =
    "========= [ MENU ] ==========[.]=\n"
    "  1. Load Pack file\n  2. Save Pack file\n  3. Pack an entire folder into one file\n"
    "  4. UnPack loaded file to multiple\n  5. Add to the pack\n  6. Remove from the pack\n"
    "  7. Display contents of pack\n  8. Encode pack\n  9. Decode pack\n\n"
    "  f. Find a file in the pack\n\n  0. Exit\n\n  > ";
constexpr const char* kAsk = " Enter File number or name: ";

// Standard input as the menu reads it. At the end of input a read delivers no character
// and the end is remembered, so the loop can stop after the pass that met it.
//
// A person at a terminal types whole lines, so there each read of one character, for a key or
// a wait, takes a whole line: its first character, or the end of line for an empty line, and
// the discard that follows takes the rest. Piped input is read one character at a time.
class Input {
  public:
    Input() : lines_(platform::IsTerminal(stdin)) {}

    int Char() {
        if (!lines_) return Next();
        std::string line;
        if (!Read(&line)) return EOF;
        rest_ = true;
        return line.empty() ? '\n' : static_cast<unsigned char>(line[0]);
    }
    void Discard() {
        if (!lines_) {
            Next();
        } else if (rest_) {
            rest_ = false;
        } else {
            Read(nullptr);
        }
    }
    // Shows prompt and reads a whole line of any length, without its end of line, with the
    // line editor when there is one. A line too long for the memory left reads as empty, which
    // every command refuses.
    std::string Line(const char* prompt) {
        std::string line;
        if (editor_.on() && !ended_) {
            if (!editor_.Read(prompt, &line)) ended_ = true;
        } else {
            std::fputs(prompt, stdout);
            Read(&line);
        }
        return line;
    }
    bool ended() const { return ended_; }

  private:
    int Next() {
        std::fflush(stdout);
        if (ended_) return EOF;  // also when the editor met the end, not the stream
        const int c = std::getchar();
        if (c == EOF) ended_ = true;
        return c;
    }
    // Reads up to the end of line into *line (nowhere when null). False when the input had
    // ended before any character.
    bool Read(std::string* line) {
        bool held = line != nullptr;
        int c = Next();
        if (c == EOF) return false;
        for (; c != '\n'; c = std::getchar()) {
            if (c == EOF) {
                ended_ = true;
                break;
            }
            if (!held) continue;
            try {
                line->push_back(static_cast<char>(c));
            } catch (const std::bad_alloc&) {
                std::string().swap(*line);
                held = false;
            }
        }
        return true;
    }

    const bool lines_;   // whole lines at a terminal
    bool rest_ = false;  // the rest of the line a key came from is still to be discarded
    bool ended_ = false;
    LineEditor editor_;  // on at a terminal when built with one
};

const char* Outcome(bool ok) {
    return ok ? "" : "Un";
}

// Reads the search method of remove and find: its first character counts, one more goes (the
// rest of the line at a terminal).
int SearchMethod(Input& in, const char* prompt) {
    std::fputs(prompt, stdout);
    const int method = in.Char();
    in.Discard();
    return method;
}

void Unpack(Pack& pack, Input& in) {
    const std::string folder = in.Line(" Enter Folder Name: ");
    CreateDirectoryA(folder.c_str(), nullptr);
    // Entering the folder is the test that it exists; the current folder is kept, held open
    // so that a path of any length can be gone back to.
    platform::Folder before;
    if (!before.Open(".") || !SetCurrentDirectoryA(folder.c_str())) {
        std::printf(" FAILURE: Could not create the folder: %s\n", Shown(stdout, folder).c_str());
        return;
    }
    before.Enter();
    std::printf(" Now unpacking to the folder: %s\n", Shown(stdout, folder).c_str());
    std::fflush(stdout);
    ProgressLine progress("unpacking");
    std::printf(" The pack was unpacked %sSuccessfully!",
                Outcome(pack.UnpackToFolder(folder.c_str())));
}

void Remove(Pack& pack, Input& in) {
    const int method =
        SearchMethod(in, " Search method: (1 for number, anything else for name)\n\n  > ");
    const std::string line = in.Line(kAsk);
    const bool removed = method == '1' ? pack.RemoveByIndex(PositionOf(ParseNumber(line.c_str())))
                                       : pack.RemoveByName(line.c_str());
    std::printf(" The file was removed %sSuccessfully!", Outcome(removed));
}

void Find(Pack& pack, Input& in) {
    const int method =
        SearchMethod(in, " Search method: (1 for number, anything else for filename)\n\n  > ");
    const std::string line = in.Line(kAsk);
    const PackEntry* entry = nullptr;
    if (method == '1') {
        entry = pack.EntryAt(PositionOf(ParseNumber(line.c_str())));
        if (entry == nullptr) {
            std::printf(" Could not find file number %s!", Shown(stdout, line).c_str());
            return;
        }
    } else {
        entry = pack.FindByName(line.c_str());
        if (entry == nullptr) {
            std::printf(" Could not find file name %s!", Shown(stdout, line).c_str());
            return;
        }
    }
    std::printf(" Found file: %s [%u bytes%s]\n", ShownName(entry->name).text,
                static_cast<unsigned>(entry->size), entry->compressed != 0 ? " ***" : "");
}

// Commands that read one line, call one operation and report its truth value. The reason of a
// failure is the operation's to keep; the menu says only that it failed.
void LineCommand(Input& in, const char* prompt, const char* message,
                 bool (Pack::*operation)(const char*, platform::Reason*), Pack& pack) {
    const std::string line = in.Line(prompt);
    // Of these, load, save and packing a folder can take long enough to show their progress.
    const char* what = operation == &Pack::Load         ? "loading"
                       : operation == &Pack::Save       ? "saving"
                       : operation == &Pack::PackFolder ? "packing"
                                                        : nullptr;
    ProgressLine progress(what);
    platform::Reason why = 0;
    std::printf(message, Outcome((pack.*operation)(line.c_str(), &why)));
}

}  // namespace

std::int32_t ParseNumber(const char* text) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    const char* at = text;
    while (*at == ' ' || (*at >= '\t' && *at <= '\r')) ++at;
    const bool negative = *at == '-';
    if (*at == '-' || *at == '+') ++at;
    std::int64_t value = 0;
    for (; *at >= '0' && *at <= '9'; ++at) {
        if (value <= kMax) value = value * 10 + (*at - '0');  // stops growing once past range
    }
    if (negative) value = -value;
    if (value > kMax) return static_cast<std::int32_t>(kMax);
    if (value < kMin) return static_cast<std::int32_t>(kMin);
    return static_cast<std::int32_t>(value);
}

std::uint32_t PositionOf(std::int32_t number) {
    // Number minus one, taken modulo 2^32 as an unsigned position.
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(number) - 1);
}

int RunMenu() {
    Pack pack;
    Input in;
    int key = 0;
    do {
        platform::ClearScreen();
        std::fputs(kBanner, stdout);
        std::fputs(kMenu, stdout);
        key = in.Char();
        in.Discard();
        platform::ClearScreen();
        switch (key) {
            case '1':
                LineCommand(in, " Enter Filename: ", " The pack was loaded %sSuccessfully!",
                            &Pack::Load, pack);
                break;
            case '2':
                LineCommand(in, " Enter Filename: ", " The pack was saved %sSuccessfully!",
                            &Pack::Save, pack);
                break;
            case '3':
                LineCommand(in, " Enter Folder name: ", " The folder was packed %sSuccessfully!",
                            &Pack::PackFolder, pack);
                break;
            case '4':
                Unpack(pack, in);
                break;
            case '5':
                LineCommand(in, " Enter Filename: ", " The file was added %sSuccessfully!",
                            &Pack::AddFile, pack);
                break;
            case '6':
                Remove(pack, in);
                break;
            case '7':
                ShowContents(pack);
                break;
            case '8': {
                ProgressLine progress("encoding");
                pack.Encode();
                std::fputs(" Pack Encoded successfully!\n", stdout);
                break;
            }
            case '9': {
                ProgressLine progress("decoding");
                pack.Decode();
                std::fputs(" Pack Decoded successfully!\n", stdout);
                break;
            }
            case 'F':
            case 'f':
                Find(pack, in);
                break;
            default:
                std::fputs(" press any key to continue\n\n  > ", stdout);
                break;
        }
        in.Discard();
    } while (key != '0' && !in.ended());
    pack.Clear();
    std::fflush(stdout);
    return 0;
}
