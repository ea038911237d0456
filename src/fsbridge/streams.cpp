// The command line's operations, each a window run over one of the job sources.
#include "fsbridge/streams.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "fsbridge/sources.h"
#include "fsbridge/unpack.h"
#include "pack/progress.h"

using platform::Reason;

namespace {

// Names the failure's item and reason; gives false.
bool Fail(StreamFailure* failure, const std::string& item, Reason why, std::uint32_t entry = 0) {
    failure->entry = entry;
    failure->reason = why == 0 ? platform::kErrorFailed : why;
    try {
        failure->item = item;
    } catch (const std::bad_alloc&) {
        failure->item.clear();
    }
    return false;
}

// A window's failure: the entry by its place in the pack, from 1, and its name.
bool FailEntry(StreamFailure* failure, const WindowFailure& window) {
    return Fail(failure, window.name, window.why, static_cast<std::uint32_t>(window.item + 1));
}

std::string InFolder(const char* folder, const std::string& name) {
    return name.empty() ? std::string(folder) : folder + (platform::kPathSeparator + name);
}

// Records that leave an entry's file below a folder; a job whose file is written holds nothing
// more, a late one its plain bytes (or nothing, when it is moved in pieces as it finishes).
class UnpackSource final : public RecordSource {
  public:
    UnpackSource(PackReader* reader, const platform::Folder& target,
                 const std::vector<std::string>& names)
        : RecordSource(reader, true),
          unpacker_(target),
          names_(names),
          found_(names.size(), false) {}
    bool Work(Job& job) override {
        if (job.entry == nullptr) return true;  // written when taken
        const bool pieces = InPieces(*job.entry);
        if (pieces) {
            RecordAt data = DataOf(job);
            if (!unpacker_.Work(job, &data)) return false;
        } else if (!unpacker_.Work(job)) {
            return false;
        }
        job.cost = job.late && !pieces ? job.entry->size : 0;
        if (!job.late) job.owned.reset(), job.entry = nullptr;
        return true;
    }
    bool Finish(Job& job) override {
        if (!job.late || !InPieces(*job.entry)) return unpacker_.Finish(job);
        RecordAt data = DataOf(job);
        return unpacker_.Finish(job, &data);
    }
    // The first name that matched no entry, or null.
    const std::string* Missing() const {
        const auto at = std::find(found_.begin(), found_.end(), false);
        return at == found_.end() ? nullptr
                                  : &names_[static_cast<std::size_t>(at - found_.begin())];
    }

  private:
    bool Keep(const PackEntry& head) override {
        bool kept = names_.empty();
        for (std::size_t i = 0; i < names_.size(); ++i) {
            if (names_[i] == head.name) kept = found_[i] = true;
        }
        return kept;
    }
    bool Taken(Job& job) override { return unpacker_.Take(job); }
    // Alone in flight, the entry is never late.
    bool MoveNow(Job& job) override {
        if (!unpacker_.Work(job, &reader_)) return false;
        job.owned.reset();
        job.entry = nullptr;
        return true;
    }

    Unpacker unpacker_;
    const std::vector<std::string>& names_;
    std::vector<bool> found_;
};

// Records decompressed to check that each gives its size.
class TestSource final : public RecordSource {
  public:
    explicit TestSource(PackReader* reader) : RecordSource(reader, true) {}
    bool Work(Job& job) override {
        if (job.entry == nullptr) return true;  // checked when taken
        if (InPieces(*job.entry)) {
            RecordAt data = DataOf(job);
            if (!MovePieces(*job.entry, data, nullptr, &job.why)) return false;
        } else {
            job.entry->Decompress(&job.why);
            if (job.entry->compressed != 0) return false;
        }
        job.owned.reset();
        job.entry = nullptr;
        job.cost = 0;
        return true;
    }
    bool Finish(Job&) override { return true; }

  private:
    bool MoveNow(Job& job) override {
        if (!MovePieces(*job.entry, reader_, nullptr, &job.why)) return false;
        job.owned.reset();
        job.entry = nullptr;
        return true;
    }
};

// Records copied as they are, but for those dropped, by their place in the pack.
class KeepSource final : public CopySource {
  public:
    KeepSource(PackReader* reader, PackWriter* writer, const std::vector<std::uint32_t>& dropped)
        : CopySource(reader, writer), dropped_(dropped) {}

  private:
    bool Keep(const PackEntry&) override {
        return std::find(dropped_.begin(), dropped_.end(), reader_.read() - 1) == dropped_.end();
    }
    const std::vector<std::uint32_t>& dropped_;
};

}  // namespace

bool OpenPackInput(PackReader* reader, const char* path, Reason* why) {
    if (std::strcmp(path, "-") != 0) return reader->Open(path, why);
    std::uint64_t length = 0;
    std::FILE* input = platform::OpenStandardInput(&length, why);
    return input != nullptr && reader->Open(input, length, why);
}

bool StreamPackFolder(const char* path, const char* folder, bool compress, Compressor engine,
                      StreamFailure* failure) {
    std::vector<FolderFile> files;
    FolderReturn back;
    Reason why = 0;
    if (!back.Enter(folder, &why)) return Fail(failure, folder, why);
    std::string culprit;
    if (!ListFolderFiles(&files, &culprit, &why)) {
        return Fail(failure, InFolder(folder, culprit), why);
    }
    back.Back();
    if (files.size() > UINT32_MAX) return Fail(failure, folder, platform::kErrorFailed);
    SharedProgress().Start(files.size(), BytesOf(files));

    // The pack file's path is taken from the folder we started in.
    PackWriter writer(path, compress ? 1 : 0, static_cast<std::uint32_t>(files.size()));
    if (!writer.ok()) return Fail(failure, path, writer.reason());
    if (!back.Enter(folder, &why)) return Fail(failure, folder, why);
    const std::uint64_t budget = BudgetFor(files);
    FileSource source(files, compress, engine, budget, EntrySink(&writer));
    WindowFailure window;
    const bool packed = RunWindow(source, budget, 0, &window);
    back.Back();
    if (!writer.ok()) return Fail(failure, path, writer.reason());
    if (!packed) return Fail(failure, InFolder(folder, window.name), window.why);
    return writer.Commit(&why) || Fail(failure, path, why);
}

bool StreamUnpack(const char* path, const char* folder, const std::vector<std::string>& names,
                  StreamFailure* failure) {
    PackReader reader;
    Reason why = 0;
    if (!OpenPackInput(&reader, path, &why)) return Fail(failure, path, why);
    CreateDirectoryA(folder, nullptr);
    // Every entry is written relative to the folder held open here.
    platform::Folder target;
    if (!target.Open(folder, &why)) return Fail(failure, folder, why);
    SharedProgress().Start(reader.header().count, 0);
    UnpackSource source(&reader, target, names);
    WindowFailure window;
    if (!RunWindow(source, kWindowBytes, 0, &window)) return FailEntry(failure, window);
    const std::string* missing = source.Missing();
    return missing == nullptr ||
           Fail(failure, std::string(path) + ": " + *missing, platform::kErrorNoSuchEntry);
}

bool StreamTest(const char* path, StreamFailure* failure) {
    PackReader reader;
    Reason why = 0;
    if (!OpenPackInput(&reader, path, &why)) return Fail(failure, path, why);
    SharedProgress().Start(reader.header().count, 0);
    TestSource source(&reader);
    WindowFailure window;
    return RunWindow(source, kWindowBytes, 0, &window) || FailEntry(failure, window);
}

bool StreamAdd(const char* path, const std::vector<std::string>& names, Compressor engine,
               StreamFailure* failure) {
    PackReader reader;
    Reason why = 0;
    std::uint64_t ignored = 0;
    std::FILE* existing = platform::OpenRegularFile(path, &ignored, &why);
    const bool fresh = existing == nullptr && platform::IsNotFound(why);
    if (existing != nullptr) std::fclose(existing);
    if (!fresh && !reader.Open(path, &why)) return Fail(failure, path, why);

    std::vector<FolderFile> files;
    for (const std::string& name : names) {
        files.push_back({name, 0});
        if (!PackEntry::NameFits(name.c_str())) {
            return Fail(failure, name, platform::kErrorNameTooLong);
        }
        if (!platform::RegularFileLength(name.c_str(), &files.back().size, &why)) {
            return Fail(failure, name, why);
        }
    }
    const std::uint64_t total = std::uint64_t{reader.header().count} + files.size();
    if (total > UINT32_MAX) return Fail(failure, path, platform::kErrorFailed);
    SharedProgress().Start(total, BytesOf(files));

    const std::uint8_t flag = reader.header().flag;
    PackWriter writer(path, flag, static_cast<std::uint32_t>(total));
    WindowFailure window;
    CopySource copy(&reader, &writer);
    if (writer.ok() && !fresh && !RunWindow(copy, kWindowBytes, 0, &window)) {
        return writer.ok() ? FailEntry(failure, window) : Fail(failure, path, writer.reason());
    }
    const std::uint64_t budget = BudgetFor(files);
    FileSource source(files, flag != 0, engine, budget, EntrySink(&writer));
    if (writer.ok() && !RunWindow(source, budget, 0, &window) && writer.ok()) {
        return Fail(failure, window.name, window.why);  // the file, named as given
    }
    reader.Close();
    return writer.Commit(&why) || Fail(failure, path, why);
}

bool StreamRemove(const char* path, const std::vector<std::string>& names, StreamFailure* failure) {
    // First the heads alone: which record each name takes, before anything is written.
    std::vector<std::uint32_t> dropped;
    PackHeader header;
    Reason why = 0;
    {
        PackReader reader;
        if (!reader.Open(path, &why)) return Fail(failure, path, why);
        header = reader.header();
        std::vector<bool> taken(names.size(), false);
        PackEntry head;
        while (reader.NextHead(&head, &why)) {
            for (std::size_t i = 0; i < names.size(); ++i) {
                if (!taken[i] && !names[i].empty() && names[i] == head.name) {
                    taken[i] = true;
                    dropped.push_back(reader.read() - 1);
                    break;
                }
            }
            if (!reader.SkipData(head, &why)) break;
        }
        if (reader.damaged()) return Fail(failure, "", why, reader.damagedRecord());
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (!taken[i]) {
                return Fail(failure, std::string(path) + ": " + names[i],
                            platform::kErrorNoSuchEntry);
            }
        }
    }
    PackReader reader;
    if (!reader.Open(path, &why)) return Fail(failure, path, why);
    SharedProgress().Start(header.count, 0);
    PackWriter writer(path, header.flag, header.count - static_cast<std::uint32_t>(dropped.size()));
    KeepSource source(&reader, &writer, dropped);
    WindowFailure window;
    if (writer.ok() && !RunWindow(source, kWindowBytes, 0, &window) && writer.ok()) {
        return FailEntry(failure, window);
    }
    reader.Close();
    return writer.Commit(&why) || Fail(failure, path, why);
}
