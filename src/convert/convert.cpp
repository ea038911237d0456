// convert: which way a conversion goes, a pack's entries into an archive, and an archive's
// items into another archive.
#include "convert/convert.h"

#include <ctime>
#include <new>
#include <vector>

#include "convert/input.h"
#include "convert/to_pack.h"
#include "fsbridge/described.h"
#include "fsbridge/folder.h"
#include "pack/progress.h"
#include "pack/records.h"

using platform::Fail;
using platform::Reason;

namespace {

bool Unwritten(const ArchiveWriter& writer, const std::string& item, std::uint32_t entry,
               ConvertFailure* failure) {
    failure->words = writer.reason() == 0 ? writer.error() : "";
    return Fail(&failure->failure, writer.reason() != 0 ? writer.reason() : platform::kErrorFailed,
                item, entry);
}

// The archive's item of a description's item.
ArchiveItem ItemOf(const descriptions::Item& described) {
    using descriptions::Kind;
    ArchiveItem item;
    item.path = described.path;
    item.kind = described.kind == Kind::kFolder     ? ItemKind::kFolder
                : described.kind == Kind::kSymlink  ? ItemKind::kSymlink
                : described.kind == Kind::kHardLink ? ItemKind::kHardLink
                                                    : ItemKind::kFile;
    item.mode = described.mode;
    item.mtimeNs = described.mtimeNs;
    item.link = described.target;
    item.sized = true;
    item.size = described.kind == Kind::kFile ? described.size : 0;
    return item;
}

// The parts of the file whose first part is items[first]: those that follow it there, each at
// the offset where the one before it ends. A count of 0 when the file may go on in the next
// description (its last part is whole and ends the description): its length cannot be told.
std::size_t PartsOf(const std::vector<descriptions::Item>& items, std::size_t first,
                    std::uint64_t* whole) {
    std::size_t i = first;
    for (*whole = 0; i < items.size() && items[i].kind == descriptions::Kind::kPart &&
                     items[i].path == items[first].path && items[i].offset == *whole;
         ++i) {
        *whole += items[i].size;
    }
    return i == items.size() && items[i - 1].size == kPartSize ? 0 : i - first;
}

// Every entry of the pack as an item of the archive, its bytes decoded in pieces as they are
// read and checked against the CRC-32 a description gives them. A described entry passes with
// its full path, mode and time, and a description's folders and links as items of their own;
// an undescribed entry is a file of the time of the conversion. A file in parts is one item,
// its parts' bytes in turn; parts that do not follow one another as their description lists
// them fail the file.
bool PackToArchive(ConvertInput* input, ArchiveWriter* writer, const StreamOptions& options,
                   ConvertFailure* failure) {
    PackReader reader;
    Reason why = 0;
    if (!reader.Open(input->stream(), input->length(), &why)) {
        return Fail(&failure->failure, why);
    }
    SharedProgress().Start(reader.header().count, 0);
    const std::int64_t now = std::int64_t{std::time(nullptr)} * 1000000000;
    std::uint64_t plain = 0;
    bool unwritten = false;  // a head the writer refused, told by Unwritten
    std::string alone;
    // Hard links follow the files of their run, as an archive names a link's file first.
    std::vector<descriptions::Item> links;
    const auto head = [&](const descriptions::Item& held) {
        alone = held.path;
        return writer->Head(ItemOf(held)) || !(unwritten = true);
    };
    const auto linked = [&](std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            if (!head(links[i])) return false;
        }
        links.erase(links.begin(), links.begin() + static_cast<std::ptrdiff_t>(count));
        return true;
    };
    DescribedEntries described({}, [&](const descriptions::Item& held, Reason* failed) {
        if (held.kind == descriptions::Kind::kHardLink) {
            return platform::WithMemory(failed, [&] { links.push_back(held); });
        }
        return head(held) || Fail(failed, platform::kErrorFailed);
    });
    // The file in parts being written: its path, the item of its next part, the parts to come.
    struct {
        std::string path;
        const descriptions::Item* next = nullptr;
        std::size_t left = 0;
    } joined;
    const auto missing = [&](const std::string& path) {
        return Fail(&failure->failure, platform::kErrorPartMissing, path, reader.read());
    };
    PackEntry entry;
    while (reader.NextHead(&entry, &why)) {
        PackEntry& head = entry;
        if (DescribedEntries::MayDescribe(head) && !reader.ReadData(&head, &why)) break;
        const descriptions::Item* held = nullptr;
        Reason failed = 0;
        const std::size_t before = links.size();  // those of the runs before
        if (described.Meet(head, &held, &failed)) {
            if (linked(before)) continue;
            return Unwritten(*writer, alone, reader.read(), failure);
        }
        const bool part = held != nullptr && held->kind == descriptions::Kind::kPart;
        if (joined.left != 0 && held != joined.next) return missing(joined.path);
        if (unwritten || (held == nullptr && !linked(links.size()))) {
            return Unwritten(*writer, alone, reader.read(), failure);
        }
        if (failed != 0) return Fail(&failure->failure, failed, head.name, reader.read());
        const bool first = part && joined.left == 0;
        std::uint64_t whole = 0;
        if (first) {
            if (held->offset != 0) return missing(held->path);
            const auto at = static_cast<std::size_t>(held - described.items().data());
            joined = {held->path, held, PartsOf(described.items(), at, &whole)};
            if (joined.left == 0) {
                failure->words =
                    "its parts are described in two runs: its length is not told before its bytes";
                return Fail(&failure->failure, platform::kErrorFailed, held->path, reader.read());
            }
        }
        ArchiveItem item;
        if (held != nullptr) {
            item = ItemOf(*held);
            if (first) item.size = whole;
        } else {
            item.path = head.name;
            item.mtimeNs = now;
            item.sized = true;
            item.size = head.size;
        }
        if ((!part || first) && !writer->Head(item)) {
            return Unwritten(*writer, item.path, reader.read(), failure);
        }
        // An empty file's byte goes nowhere.
        CrcSink checked(part || item.size != 0 ? writer : nullptr);
        bool moved = PlainBytes(head, reader, &checked, &why);
        if (moved && held != nullptr) moved = checked.Matches(held->crc, &why);
        if (!moved) {
            if (!writer->ok()) return Unwritten(*writer, item.path, reader.read(), failure);
            return Fail(&failure->failure, why, item.path, reader.read());
        }
        plain += head.size;
        SharedProgress().Advance(head.size);
        if (part) ++joined.next;
        if (part && --joined.left != 0) continue;
        if (options.done) options.done(item.path.c_str());
    }
    if (joined.left != 0 && !reader.damaged()) return missing(joined.path);
    if (reader.damaged()) {
        return Fail(&failure->failure, why, "", reader.damagedRecord());
    }
    if (!linked(links.size())) return Unwritten(*writer, alone, reader.read(), failure);
    if (options.totals != nullptr) *options.totals = {reader.read(), plain, 0};
    return true;
}

// Every item of the archive into the other, names cleaned, devices, FIFOs and sockets left out.
bool ArchiveToArchive(ConvertInput* input, ArchiveWriter* writer, const ConvertOptions& options,
                      ConvertFailure* failure) {
    ArchiveReader reader;
    if (!reader.Open(input->stream(), input->again())) {
        failure->words = reader.error();
        return Fail(&failure->failure, platform::kErrorDamagedRecord);
    }
    SharedProgress().Start(0, 0);
    std::uint64_t items = 0, plain = 0;
    ArchiveItem item;
    for (int got; (got = reader.Next(&item)) != 0;) {
        if (got < 0) {
            failure->words = reader.error();
            return Fail(&failure->failure, platform::kErrorDamagedRecord, "", reader.items());
        }
        if (item.kind == ItemKind::kSpecial) {
            if (options.stream.leftOut) options.stream.leftOut(item.path, LeftOut::kNotRegular);
            continue;
        }
        std::string removed;
        const std::string path = item.path;
        item.path = CleanName(path, &removed);
        if (item.path.empty()) {  // the folder "." or "/" goes without saying
            if (item.kind != ItemKind::kFolder && options.stream.refused) {
                options.stream.refused(path, platform::kErrorNoFileName);
            }
            continue;
        }
        if (!removed.empty() && options.renamed) options.renamed(path, removed, item.path);
        if (item.kind == ItemKind::kHardLink) item.link = CleanName(item.link, &removed);
        if (item.kind == ItemKind::kFile && !item.sized) {
            failure->words = "the archive does not tell the size of this item";
            return Fail(&failure->failure, platform::kErrorFailed, item.path, reader.items());
        }
        if (!writer->Write(item, &reader)) {
            if (writer->reason() == platform::kErrorDamagedRecord) {
                failure->words = reader.error();
            } else {
                return Unwritten(*writer, item.path, reader.items(), failure);
            }
            return Fail(&failure->failure, platform::kErrorDamagedRecord, item.path,
                        reader.items());
        }
        ++items;
        plain += item.size;
        SharedProgress().Advance(item.size);
        if (options.stream.done) options.stream.done(item.path.c_str());
    }
    if (options.stream.totals != nullptr) *options.stream.totals = {items, plain, 0};
    return true;
}

}  // namespace

bool Convert(const std::string& in, const std::string& out, ArchiveForm form,
             const ConvertOptions& options, ConvertFailure* failure) {
    ConvertInput input;
    Reason why = 0;
    if (!input.Open(in, &why)) return Fail(&failure->failure, why, in);
    if (out == kStandardStream && platform::IsTerminal(stdout)) {
        return Fail(&failure->failure, platform::kErrorTerminalOutput, "standard output");
    }
    if (form == ArchiveForm::kPack) {
        if (input.pack()) {
            failure->words = "a pack already; convert makes packs of other archives";
            return Fail(&failure->failure, platform::kErrorFailed, in);
        }
        // The items are checked before the pack is begun: a pipe is kept to be read again.
        if (!input.Keep(&why)) return Fail(&failure->failure, why, in);
        return ArchiveToPack(&input, out, options, failure);
    }
    ArchiveWriter writer(out, form);
    const std::string shown = out == kStandardStream ? "standard output" : out;
    if (!writer.ok()) return Unwritten(writer, shown, 0, failure);
    const bool converted = input.pack() ? PackToArchive(&input, &writer, options.stream, failure)
                                        : ArchiveToArchive(&input, &writer, options, failure);
    if (!converted) return false;
    return writer.Commit() || Unwritten(writer, shown, 0, failure);
}
