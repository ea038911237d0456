// The command line's operations, each a window run over one of the job sources.
#include "fsbridge/streams.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "fsbridge/described.h"
#include "fsbridge/describing.h"
#include "fsbridge/selection.h"
#include "fsbridge/sources.h"
#include "fsbridge/stream_steps.h"
#include "fsbridge/unpack.h"
#include "pack/progress.h"

using platform::Fail;
using platform::Failure;
using platform::Reason;

namespace {

// Records that leave an entry's file below a folder; a job whose file is written holds nothing
// more, a late one its plain bytes (or nothing, when it is moved in pieces as it finishes).
class UnpackSource final : public RecordSource {
  public:
    UnpackSource(PackReader* reader, const platform::Folder& target, NameSelection* selection,
                 const StreamOptions& options)
        : RecordSource(reader, true),
          unpacker_(target, options.existing,
                    [&options](const std::string& path, Reason why) {
                        if (why == 0 && options.kept) options.kept(path.c_str());
                        if (why != 0 && options.unrestored) options.unrestored(path, why);
                    }),
          described_(
              {}, [this](const descriptions::Item& item, Reason* why) { return Alone(item, why); }),
          selection_(*selection),
          options_(options) {}
    // After the last entry, or a failure: the links and folders' modes and times; how many paths
    // were refused.
    std::size_t End() {
        unpacker_.End();
        return unpacker_.restorer().refused();
    }
    bool Work(Job& job) override {
        EntryJob& held = Held(job);
        if (held.done) return true;
        const bool pieces = InPieces(*held.entry);
        std::optional<RecordAt> data;
        if (pieces) data.emplace(DataOf(job));
        if (!unpacker_.Work(job, data ? &*data : nullptr)) return false;
        job.cost = held.late && !pieces ? held.entry->size : 0;
        if (!held.late) held.owned.reset(), held.entry = nullptr;  // written: nothing to hold
        return true;
    }
    bool Finish(Job& job) override {
        EntryJob& held = Held(job);
        std::optional<RecordAt> data;
        if (held.late && InPieces(*held.entry)) data.emplace(DataOf(job));
        if (!unpacker_.Finish(job, data ? &*data : nullptr)) return false;
        if (held.description) return true;
        const char* name = Described(held) ? held.path.c_str() : held.name;
        if (held.kept) {
            if (options_.kept) options_.kept(name);
            return true;
        }
        if (held.refused != 0) return true;  // told by the unpacker
        plainBytes_ += held.size;
        if (options_.done) options_.done(name);
        return true;
    }
    std::uint64_t plainBytes() const { return plainBytes_; }

  private:
    // A record that may be a description is read whatever the selection: it is chosen once
    // its data tells it is none.
    bool Keep(const PackEntry& head) override {
        candidate_ = DescribedEntries::MayDescribe(head);
        const descriptions::Item* item = described_.Peek(head);
        if (!candidate_ && !Chosen(item != nullptr ? item->path.c_str() : head.name)) return false;
        const char first = head.name[0];
        if (!stripped_ && (first == '/' || first == platform::kPathSeparator) &&
            options_.stripped) {
            stripped_ = true;
            options_.stripped(first);
        }
        return true;
    }
    bool Taken(Job& job) override {
        EntryJob& held = Held(job);
        if (!described_.Take(held, &job.why)) return false;
        if (!held.description && candidate_ && !Chosen(held.name)) {
            held.description = held.done = true;  // not chosen: passed over as a description is
        }
        if (held.description) return true;
        if (options_.strip > 0) {
            PackEntry& entry = *held.entry;
            const std::string name = Stripped(entry.name, options_.strip);  // shorter: it fits
            std::memset(entry.name, 0, sizeof entry.name);
            std::memcpy(entry.name, name.c_str(), name.size());
            if (held.checked && !StripItem(&held.item, options_.strip, &job.why)) return false;
        }
        return unpacker_.Take(job);
    }
    // A folder or link of a description, when chosen, its path stripped as an entry's is.
    bool Alone(const descriptions::Item& item, Reason* why) {
        if (!Chosen(item.path.c_str())) return true;
        descriptions::Item taken;
        return platform::WithMemory(why, [&] { taken = item; }) &&
               (options_.strip == 0 || StripItem(&taken, options_.strip, why)) &&
               unpacker_.restorer().Take(taken, why);
    }
    // Chosen by the selection, and left with a name once its leading parts are stripped.
    bool Chosen(const char* name) {
        return selection_.Take(name) &&
               (options_.strip == 0 || !Stripped(name, options_.strip).empty());
    }
    // Alone in flight, the entry is never late.
    bool MoveNow(Job& job) override {
        if (!unpacker_.MoveNow(job, &reader_)) return false;
        Held(job).owned.reset();
        Held(job).entry = nullptr;
        return true;
    }

    Unpacker unpacker_;
    DescribedEntries described_;
    NameSelection& selection_;
    const StreamOptions& options_;
    std::uint64_t plainBytes_ = 0;
    bool stripped_ = false;   // the dropped separator told
    bool candidate_ = false;  // the record kept last may be a description
};

// Records decompressed to check that each gives its size.
class TestSource final : public RecordSource {
  public:
    TestSource(PackReader* reader, const StreamOptions& options)
        : RecordSource(reader, true), described_(options.stale), options_(options) {}
    // After the last record: the last description's verdict.
    void End() { described_.End(); }
    bool Work(Job& job) override {
        EntryJob& held = Held(job);
        if (held.done) return true;
        if (InPieces(*held.entry)) {
            RecordAt data = DataOf(job);
            if (!Check(held, data, &job.why)) return false;
        } else if (!held.entry->Decompress(&job.why) || !CheckWhole(held, &job.why)) {
            return false;
        }
        held.owned.reset();
        held.entry = nullptr;
        job.cost = 0;
        return true;
    }
    bool Finish(Job&) override { return true; }

  private:
    bool Taken(Job& job) override { return described_.Take(Held(job), &job.why); }
    // Decodes an entry's data piece by piece and checks its CRC-32 when it is marked with one.
    static bool Check(const EntryJob& held, PieceSource& in, Reason* why) {
        CrcSink sink;
        return MovePieces(*held.entry, in, &sink, why) &&
               (!held.checked || sink.Matches(held.crc, why));
    }
    bool Keep(const PackEntry& head) override {
        return options_.excludes == nullptr || !Excluded(*options_.excludes, head.name) ||
               DescribedEntries::MayDescribe(head);
    }
    bool MoveNow(Job& job) override {
        if (!Check(Held(job), reader_, &job.why)) return false;
        Held(job).owned.reset();
        Held(job).entry = nullptr;
        return true;
    }

    DescribedEntries described_;
    const StreamOptions& options_;
};

}  // namespace

bool OpenPackInput(PackReader* reader, const char* path, Reason* why) {
    if (std::strcmp(path, kStandardStream) != 0) return reader->Open(path, why);
    std::uint64_t length = 0;
    std::FILE* input = platform::OpenStandardInput(&length, why);
    return input != nullptr && reader->Open(input, length, why);
}

bool StreamPackFolder(const char* path, const char* folder, const StreamOptions& options,
                      Failure* failure) {
    // As tar does, no pack is shown on a terminal; naming the terminal's device still writes it.
    const bool standard = std::strcmp(path, kStandardStream) == 0;
    const char* const shown = standard ? "standard output" : path;
    if (standard && platform::IsTerminal(stdout)) {
        return Fail(failure, platform::kErrorTerminalOutput, shown);
    }
    FolderListing listing;
    FolderReturn back;
    Reason why = 0;
    // The pack file is known by what it is, not by its name, wherever the folder holds it.
    const platform::FileIdentity self =
        standard ? platform::IdentityOf(stdout) : platform::IdentityOf(path);
    ListingRequest request{options.recursive, true, self, options.excludes, options.describe};
    if (!back.Enter(folder, &why)) return Fail(failure, why, folder);
    std::string culprit;
    if (!ListFolder(request, &listing, &culprit, &why)) {
        return Fail(failure, why, InFolder(folder, culprit));
    }
    back.Back();
    if (!TellListing(folder, listing, options, failure)) return false;
    const std::vector<FolderFile>& files = listing.files;
    if (files.size() > UINT32_MAX) return Fail(failure, platform::kErrorFailed, folder);
    const std::size_t entries = EntriesOf(files);
    SharedProgress().Start(entries, BytesOf(files));

    // The pack file's path is taken from the folder we started in, once the folder is listed:
    // a temporary file it is written to is never among the files packed.
    std::optional<PackWriter> writer;
    const std::uint8_t flag = options.compress ? 1 : 0;
    const std::size_t runs = options.describe ? RunsOf(files.size()) : 0;
    if (entries + runs > UINT32_MAX) return Fail(failure, platform::kErrorFailed, folder);
    const auto count = static_cast<std::uint32_t>(entries + runs);
    platform::PackLock lock;
    if (!standard && !TakeLock(&lock, path, options, failure)) return false;
    if (standard) {
        writer.emplace(platform::StandardOutput{}, flag, count);
    } else {
        writer.emplace(path, flag, count);
    }
    if (!writer->ok()) return Fail(failure, writer->reason(), shown);
    if (!back.Enter(folder, &why)) return Fail(failure, why, folder);
    const std::uint64_t budget = BudgetFor(files);
    Failure window;
    const bool packed = options.describe
                            ? PackDescribed(files, options, budget, &*writer, &window, 0)
                            : PackRun(files, options, budget, &*writer, &window);
    back.Back();
    if (!writer->ok()) return Fail(failure, writer->reason(), shown);
    if (!packed) return Fail(failure, window.reason, InFolder(folder, window.item));
    if (!writer->Commit(&why)) return Fail(failure, why, shown);
    Count(options, entries, BytesOf(files), writer->bytes());
    return true;
}

bool StreamUnpack(const char* path, const char* folder, NameSelection* selection,
                  const StreamOptions& options, Failure* failure) {
    PackReader reader;
    Reason why = 0;
    if (!OpenPackInput(&reader, path, &why)) return Fail(failure, why, path);
    // A folder that could not be made is told by why not, rather than by its absence.
    Reason made = 0;
    const bool there = platform::MakeFolder(folder, &made);
    // Every entry is written relative to the folder held open here.
    platform::Folder target;
    if (!target.Open(folder, &why)) return Fail(failure, there ? why : made, folder);
    platform::ClearStaleTempFiles(folder);
    SharedProgress().Start(reader.header().count, LengthOf(path));
    UnpackSource source(&reader, target, selection, options);
    const bool ran = RunWindow(source, kWindowBytes, options.workers, &SharedProgress(), failure);
    const std::size_t refused = source.End();
    if (!ran) return false;
    const std::string* missing = selection->Unmet();
    if (missing != nullptr) {
        return Fail(failure, platform::kErrorNoSuchEntry, std::string(path) + ": " + *missing);
    }
    Count(options, SharedProgress().filesDone, source.plainBytes(), LengthOf(path));
    if (refused == 0) return true;
    failure->told = true;  // each was named as it was met
    return Fail(failure, platform::kErrorFailed, path);
}

bool StreamTest(const char* path, const StreamOptions& options, Failure* failure) {
    PackReader reader;
    Reason why = 0;
    if (!OpenPackInput(&reader, path, &why)) return Fail(failure, why, path);
    SharedProgress().Start(reader.header().count, LengthOf(path));
    TestSource source(&reader, options);
    if (!RunWindow(source, kWindowBytes, options.workers, &SharedProgress(), failure)) return false;
    source.End();
    Count(options, reader.header().count, 0, LengthOf(path));
    return true;
}
