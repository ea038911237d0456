// The bodies of the job sources that read and write whole packs (sources.h): records read from
// a pack file, entries given to a writer or a chain, and files loaded by name.
#include "fsbridge/sources.h"

#include <algorithm>
#include <cstring>
#include <new>

int RecordSource::Next(std::uint64_t, Offer* offer, platform::Failure* failure) {
    offer->number = taken_;
    platform::Reason why = 0;
    while (!peeked_) {
        if (!reader_.NextHead(&head_, &why)) {
            if (!reader_.damaged()) return 0;
            platform::Fail(failure, why, "", reader_.read() + 1);  // the record not read
            return -1;
        }
        peeked_ = Keep(head_);
        if (!peeked_ && !reader_.SkipData(head_, &why)) {
            platform::Fail(failure, why, "", reader_.read());
            return -1;
        }
    }
    const bool pieces = InPieces(head_);
    if (pieces && file_ == nullptr) file_ = reader_.DataFile();  // set once: workers read it
    if (!pieces) budget_ = std::max(budget_, kWindowBytes + 3 * std::uint64_t{head_.size});
    if (pieces_) budget_ = std::min(budget_, kPiecesBudget);
    offer->cost = pieces ? kPiecesCost : CostOf(head_);
    offer->alone = pieces && file_ == nullptr;
    offer->budget = budget_;
    return 1;
}

bool RecordSource::Take(Job& job) {
    peeked_ = false;
    ++taken_;
    if (!Hold(job)) return false;
    EntryJob& held = Held(job);
    PackEntry& entry = *held.entry;
    std::memcpy(entry.name, head_.name, sizeof head_.name);
    std::memcpy(held.name, head_.name, sizeof head_.name);
    held.size = entry.size = head_.size;
    entry.storedSize = head_.storedSize;
    entry.compressed = head_.compressed;
    held.record = reader_.read() - 1;
    job.bytes = pack_format::kRecordHeadSize + std::uint64_t{head_.DataLength()};
    if (!InPieces(head_)) return reader_.ReadData(&entry, &job.why) && Taken(job);
    if (file_ != nullptr) {
        held.at = reader_.DataOffset();
        return reader_.SkipData(head_, &job.why) && Taken(job);
    }
    if (Taken(job) && MoveNow(job)) return held.done = true;
    if (!reader_.SkipRest(&job.why)) entry.Reset();
    return false;
}

void RecordSource::Name(const Job& job, platform::Failure* failure) const {
    if (job.state == nullptr) return;  // no memory even for the job's state
    const EntryJob& held = Held(job);
    failure->entry = held.record + 1;
    failure->item = held.entry != nullptr ? held.entry->name : held.name;
}

bool EntrySink::Put(Job& job) {
    EntryJob& held = Held(job);
    held.entry = nullptr;
    if (writer_ != nullptr) {
        return writer_->Write(std::move(held.owned)) || platform::Fail(&job.why, writer_->reason());
    }
    pack_->Append(held.owned.release());
    return true;
}

bool EntrySink::Put(Job& job, PieceSource& data) {
    return writer_->Write(*Held(job).entry, data, &job.why) ||
           (writer_->ok() ? false : platform::Fail(&job.why, writer_->reason()));
}

bool CopySource::Finish(Job& job) {
    EntryJob& held = Held(job);
    if (held.done) return true;
    if (!InPieces(*held.entry)) return sink_.Put(job);
    RecordAt data = DataOf(job);
    return sink_.Put(job, data);
}

std::FILE* OpenChecked(const FolderFile& file, platform::Reason* why) {
    std::uint64_t length = 0;
    platform::FileIdentity identity;
    std::FILE* in = platform::OpenRegularFile(file.Path(), &length, why, &identity);
    if (in == nullptr) return nullptr;
    if (length != (file.whole != 0 ? file.whole : file.size) ||
        (file.identity.known && !(identity == file.identity))) {
        std::fclose(in);
        platform::Fail(why, platform::kErrorFileChanged);
        return nullptr;
    }
    if (file.offset != 0 && !platform::SkipBytes(in, file.offset, why)) {
        std::fclose(in);
        return nullptr;
    }
    return in;
}

FileSource::FileSource(const std::vector<FolderFile>& files, bool compress, Compressor engine,
                       std::uint64_t budget, EntrySink sink, EntryDone done,
                       std::vector<std::string>* kept, std::uint32_t first)
    : files_(files),
      kept_(kept),
      first_(first),
      compress_(compress),
      engine_(engine),
      sink_(sink),
      done_(std::move(done)),
      // Loading alone is even work: none goes ahead. A stream of incompressible bytes is a
      // little longer than they are; one made in pieces holds at most its spill's memory.
      order_(
          static_cast<std::uint32_t>(files.size()), [this](std::uint32_t i) { return Cost(i); },
          [this, &files](std::uint32_t i) {
              return InPieces(i) ? kPiecesCost + kSpillMemory
                                 : files[i].size + files[i].size / 256 + 4096;
          },
          compress ? budget : 0, [&files](std::uint32_t i) { return files[i].size; }) {}

int FileSource::Next(std::uint64_t room, Offer* offer, platform::Failure*) {
    const std::uint32_t i = order_.Next(room);
    offer->number = first_ + i;
    offer->cost = i < files_.size() ? Cost(i) : 0;
    return i < files_.size();
}

bool FileSource::Take(Job& job) {
    const std::uint32_t i = job.number - first_;
    order_.Take(i);
    if (!Hold(job)) return false;
    const FolderFile& file = files_[i];
    const std::string& stored = file.stored.empty() ? file.name : file.stored;
    std::memcpy(Held(job).entry->name, stored.c_str(), stored.size());  // fits: listed so
    job.bytes = file.size;
    return true;
}

bool FileSource::Work(Job& job) {
    const std::uint32_t i = job.number - first_;
    if (files_[i].kind == descriptions::Kind::kEmpty) return FromBytes(job, &kEmptyByte, 1);
    if (kept_ != nullptr && !(*kept_)[i].empty()) {
        std::string bytes = std::move((*kept_)[i]);  // let go once packed
        return FromBytes(job, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    }
    if (InPieces(i) && !compress_) return true;  // copied in its turn
    std::FILE* in = OpenChecked(files_[i], &job.why);
    if (in == nullptr) return false;
    const bool worked = InPieces(i) ? Spilled(job, in) : Loaded(job, in);
    std::fclose(in);
    return worked;
}

void FileSource::Name(const Job& job, platform::Failure* failure) const {
    failure->item = FileOf(job).Path();
}

bool FileSource::Finish(Job& job) {
    const std::uint32_t i = job.number - first_;
    const bool put = !InPieces(i) ? sink_.Put(job) : compress_ ? Unspill(job) : Copy(job);
    if (!put) return false;
    const FolderFile& file = files_[i];
    if (done_ && file.offset + file.size >= file.whole) done_(file.name.c_str());  // once
    return true;
}

std::uint64_t FileSource::Cost(std::uint32_t i) const {
    const std::uint64_t size = files_[i].size;
    if (InPieces(i)) return compress_ ? kPiecesCost + kSpillMemory : kPlainPiece;
    return compress_ ? 2 * size + size / 8 + 4096 : size;
}

bool FileSource::Loaded(Job& job, std::FILE* in) {
    PackEntry& entry = *Held(job).entry;
    const FolderFile& file = FileOf(job);
    const std::string& stored = file.stored.empty() ? file.name : file.stored;
    if (!entry.LoadFromOpenFile(in, file.size, stored.c_str(), &job.why)) return false;
    if (compress_ && !entry.Compress(engine_, &job.why)) return false;
    job.cost = entry.DataLength();  // what it holds until its turn
    return true;
}

bool FileSource::FromBytes(Job& job, const unsigned char* bytes, std::size_t size) {
    PackEntry& entry = *Held(job).entry;
    entry.data = GlobalAlloc(GHND, size);
    if (entry.data == nullptr || entry.Lock() == nullptr) {
        return platform::Fail(&job.why, platform::kErrorNoMemory);
    }
    std::memcpy(entry.view, bytes, size);
    entry.size = static_cast<std::uint32_t>(size);
    GlobalUnlock(entry.data);
    entry.view = nullptr;
    if (compress_ && !entry.Compress(engine_, &job.why)) return false;
    job.cost = entry.DataLength();
    return true;
}

bool FileSource::Spilled(Job& job, std::FILE* in) {
    EntryJob& held = Held(job);
    held.spill.reset(new (std::nothrow) Spill);
    if (held.spill == nullptr) return platform::Fail(&job.why, platform::kErrorNoMemory);
    FilePieces plain(in);
    const auto size = static_cast<std::uint32_t>(FileOf(job).size);  // checked: fits
    if (!StorePieces(size, true, plain, *held.spill, &held.entry->storedSize, &job.why, engine_)) {
        return false;
    }
    held.entry->size = size;
    held.entry->compressed = 1;
    job.cost = held.spill->capacity();
    return true;
}

bool FileSource::Unspill(Job& job) {
    EntryJob& held = Held(job);
    const bool put = held.spill->Rewind(&job.why) && sink_.Put(job, *held.spill);
    held.spill.reset();
    return put;
}

bool FileSource::Copy(Job& job) {
    std::FILE* in = OpenChecked(FileOf(job), &job.why);
    if (in == nullptr) return false;
    const FolderFile& file = FileOf(job);
    Held(job).entry->size = static_cast<std::uint32_t>(file.size);
    FilePieces plain(in, file.whole != 0 ? file.size : UINT64_MAX);
    const bool put = sink_.Put(job, plain);
    std::fclose(in);
    return put;
}

std::uint64_t BudgetFor(const std::vector<FolderFile>& files) {
    std::uint64_t largest = 0;
    for (const FolderFile& file : files) {
        if (file.size <= kWholeFileMost) largest = std::max(largest, file.size);
    }
    return kWindowBytes + 3 * largest;
}
