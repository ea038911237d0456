// The streaming reader and writer, and the operations of the command line built on them: a
// bounded window of entries in flight through the entry operations on worker threads.
#include "pack/stream.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "fsbridge/folder_files.h"
#include "pack/pack_format.h"
#include "pack/progress.h"
#include "platform/process.h"

namespace fmt = pack_format;

PackReader::~PackReader() {
    Close();
}

void PackReader::Close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
}

bool PackReader::Open(const char* path) {
    if (file_ != nullptr || path == nullptr || *path == '\0') return false;
    SetLastError(0);
    file_ = platform::OpenRegularFile(path, &length_);
    if (file_ == nullptr) {
        if (GetLastError() == 0) SetLastError(platform::kErrorNotRegularFile);
        return false;
    }
    unsigned char header[fmt::kHeaderSize];
    if (length_ < sizeof header || std::fread(header, 1, sizeof header, file_) != sizeof header ||
        !fmt::DecodeHeader(header, &flag_, &count_) ||
        count_ > (length_ - sizeof header) / fmt::kMinRecordSize) {
        SetLastError(platform::kErrorNotPackFile);
        return false;
    }
    left_ = length_ - sizeof header;
    return true;
}

bool PackReader::NextHead(PackEntry* entry) {
    if (file_ == nullptr || read_ == count_ || damaged_) return false;
    entry->compressed = flag_;
    if (!entry->ReadRecordHead(file_, left_)) {
        damaged_ = true;
        return false;
    }
    ++read_;
    left_ -= fmt::kRecordHeadSize + entry->DataLength();
    return true;
}

bool PackReader::ReadData(PackEntry* entry) {
    if (entry->ReadRecordData(file_)) return true;
    damaged_ = true;
    return false;
}

bool PackReader::SkipData(const PackEntry& entry) {
    // The head was checked against the bytes left, so the seek stays inside the file.
#ifdef _WIN32
    const bool moved = _fseeki64(file_, entry.DataLength(), SEEK_CUR) == 0;
#else
    const bool moved = fseeko(file_, static_cast<off_t>(entry.DataLength()), SEEK_CUR) == 0;
#endif
    if (!moved) damaged_ = true;
    return moved;
}

PackWriter::PackWriter(const char* path, std::uint8_t flag, std::uint32_t count)
    : out_(path), count_(count) {
    unsigned char header[fmt::kHeaderSize];
    fmt::EncodeHeader(header, flag, count);
    const platform::WritePiece piece{header, sizeof header};
    ok_ = out_.stream() != nullptr && platform::WritePieces(out_.stream(), &piece, 1);
}

bool PackWriter::Write(std::unique_ptr<PackEntry> entry) {
    if (!ok_ || written_ + held_.size() >= count_) return ok_ = false;
    heldBytes_ += entry->DataLength();
    try {
        held_.push_back(std::move(entry));
    } catch (const std::bad_alloc&) {
        return ok_ = false;
    }
    return held_.size() < kHeldRecords && heldBytes_ < kHeldBytes ? true : Flush();
}

bool PackWriter::Flush() {
    if (!ok_) return false;
    PackEntry* records[kHeldRecords];
    for (std::size_t i = 0; i < held_.size(); ++i) records[i] = held_[i].get();
    ok_ = PackEntry::WriteRecords(out_.stream(), records, held_.size());
    written_ += static_cast<std::uint32_t>(held_.size());
    held_.clear();
    heldBytes_ = 0;
    return ok_;
}

bool PackWriter::Commit() {
    return ok_ && Flush() && written_ == count_ && out_.Commit();
}

namespace {

// The memory the entries in flight may take together beside three times the largest entry, so
// that smaller ones go on while the largest is worked on.
constexpr std::uint64_t kWindowBytes = std::uint64_t{40} << 20;

// One entry in flight.
struct Job {
    std::unique_ptr<PackEntry> entry{new (std::nothrow) PackEntry};
    std::uint32_t number = 0;  // from 1
    std::uint64_t cost = 0;    // the memory it may take at its peak
    std::uint64_t bytes = 0;   // what it counts for in the progress
    bool done = false;
    bool ok = false;
    bool here = false;  // its last step must run on this thread, in order
    DWORD error = 0;
};

// The three steps of a windowed run. Peek tells whether there is a next entry and what it
// costs (1 yes, 0 no more, -1 failed); Take fills it on this thread in order; Work runs on a
// worker thread (may be empty); Finish runs on this thread, in order. False from any of them
// carries its reason in the last error.
struct Steps {
    std::function<int(std::uint64_t* cost)> peek;
    std::function<bool(Job&)> take;
    std::function<bool(Job&)> work;
    std::function<bool(Job&)> finish;
    // The number of the entry a failed peek was at; empty: the one after the last taken.
    std::function<std::uint32_t()> where;
};

// Runs the steps over every entry with a bounded window in flight: at most a few entries per
// worker, together costing at most `budget` (one entry alone may cost more). Stops taking
// entries at the first failure, finishes those before it, and reports the first failed entry.
bool RunWindow(const Steps& steps, const std::uint64_t& budget, StreamFailure* failure,
               std::uint32_t numberBase = 0) {
    unsigned workers = std::thread::hardware_concurrency();
    workers = std::clamp(workers, 1u, 16u);
    // Small entries go many at a time, so that the threads seldom wait for each other.
    const std::size_t slots = 32 * std::size_t{workers};

    std::mutex lock;
    std::condition_variable queued;    // for the workers: a job waits
    std::condition_variable finished;  // for this thread: a job is done
    std::deque<Job*> queue;
    bool waiting = false;  // this thread waits for a job to be done
    bool stop = false;
    // What the entries in flight may take: each job's cost until its work is done, then what its
    // entry still holds until its turn comes (a compressed stream, or the plain bytes). Guarded
    // by the lock.
    std::uint64_t flightCost = 0;
    auto settle = [&flightCost](Job& job) {
        const std::uint64_t held = job.entry->DataLength();
        if (held < job.cost) {
            flightCost -= job.cost - held;
            job.cost = held;
        }
    };
    // Takes the next queued job and works on it, with the lock held on entry and on return.
    auto runNext = [&](std::unique_lock<std::mutex>& held) {
        Job* job = queue.front();
        queue.pop_front();
        held.unlock();
        const bool ok = steps.work(*job);
        const DWORD error = ok ? 0 : GetLastError();
        held.lock();
        job->ok = ok;
        job->error = error;
        job->done = true;
        settle(*job);
        if (waiting) finished.notify_one();
    };
    auto serve = [&] {
        std::unique_lock<std::mutex> held(lock);
        for (;;) {
            queued.wait(held, [&] { return stop || !queue.empty(); });
            if (queue.empty()) return;
            runNext(held);
        }
    };
    std::unique_ptr<platform::Thread[]> threads;
    unsigned started = 0;
    if (steps.work) {
        threads.reset(new (std::nothrow) platform::Thread[workers]);
        for (; threads != nullptr && started < workers; ++started) {
            if (!threads[started].Start(serve)) break;
        }
    }

    std::uint32_t failedAt = 0;  // the number of the first failed entry; 0 while none failed
    DWORD reason = 0;
    std::string item;
    auto fail = [&](std::uint32_t number, const char* name, DWORD error) {
        if (failedAt != 0 && failedAt <= number) return;
        failedAt = number;
        reason = error == 0 ? platform::kErrorFailed : error;
        try {
            item = name;
        } catch (const std::bad_alloc&) {
            item.clear();
        }
    };

    std::deque<std::unique_ptr<Job>> flight;
    std::uint64_t nextCost = 0;
    bool peeked = false;
    bool ended = false;
    std::uint32_t number = numberBase;
    for (;;) {
        while (failedAt == 0 && !ended && flight.size() < slots) {
            if (!peeked) {
                const int next = steps.peek(&nextCost);
                if (next < 0) fail(steps.where ? steps.where() : number + 1, "", GetLastError());
                if (next <= 0) {
                    ended = true;
                    break;
                }
                peeked = true;
            }
            {
                std::lock_guard<std::mutex> held(lock);
                if (!flight.empty() && flightCost + nextCost > budget) break;
            }
            std::unique_ptr<Job> job(new (std::nothrow) Job);
            if (job == nullptr || job->entry == nullptr) {
                fail(number + 1, "", GetLastError());
                break;
            }
            peeked = false;
            job->number = ++number;
            job->cost = nextCost;
            if (!steps.take(*job)) {
                fail(job->number, job->entry->name, GetLastError());
                break;
            }
            if (started == 0) {
                job->ok = !steps.work || steps.work(*job);
                job->error = job->ok ? 0 : GetLastError();
                job->done = true;
                std::lock_guard<std::mutex> held(lock);
                flightCost += job->cost;
                settle(*job);
            } else {
                std::lock_guard<std::mutex> held(lock);
                flightCost += job->cost;
                queue.push_back(job.get());
                queued.notify_one();
            }
            flight.push_back(std::move(job));
        }
        if (flight.empty()) break;
        Job& front = *flight.front();
        // Only the budget held back the entry peeked at: once enough is settled, take it.
        const bool more = failedAt == 0 && !ended && peeked && flight.size() < slots;
        {
            // This thread works too while the entry it waits for is not done.
            std::unique_lock<std::mutex> held(lock);
            while (!front.done && !queue.empty()) runNext(held);
            waiting = true;
            finished.wait(held,
                          [&] { return front.done || (more && flightCost + nextCost <= budget); });
            waiting = false;
        }
        if (!front.done) continue;
        if (!front.ok) {
            fail(front.number, front.entry->name, front.error);
        } else if (failedAt == 0 || front.number < failedAt) {
            char name[sizeof front.entry->name];  // finish may take the entry
            std::memcpy(name, front.entry->name, sizeof name);
            if (steps.finish && !steps.finish(front)) {
                fail(front.number, name, GetLastError());
            } else {
                SharedProgress().Advance(front.bytes);
            }
        }
        {
            std::lock_guard<std::mutex> held(lock);
            flightCost -= front.cost;
        }
        flight.pop_front();
    }
    {
        std::lock_guard<std::mutex> held(lock);
        stop = true;
        queued.notify_all();
    }
    for (unsigned i = 0; i < started; ++i) threads[i].Join();
    if (failedAt == 0) return true;
    if (failure != nullptr) {
        failure->entry = failedAt;
        failure->item = std::move(item);
    }
    SetLastError(reason);
    return false;
}

// Turns a plain entry into the compressed form of a pack with the engine asked for.
bool CompressForPack(PackEntry* entry, Compressor engine) {
    SetLastError(0);
    entry->Compress(engine);
    if (entry->compressed != 0) return true;
    if (GetLastError() == 0) SetLastError(platform::kErrorFailed);
    return false;
}

// Turns a compressed entry into its plain bytes; false for a stream that does not give exactly
// its size.
bool Decode(Job& job) {
    if (job.entry->compressed == 0) return true;
    SetLastError(0);
    job.entry->Decompress();
    if (job.entry->compressed == 0) return true;
    // Only the stream itself fails without a reason of the system's.
    if (GetLastError() == 0) SetLastError(platform::kErrorCorruptData);
    return false;
}

// Copies a record's head into a job's entry, which then reads its data.
void TakeHead(const PackEntry& head, PackEntry* entry) {
    std::memcpy(entry->name, head.name, sizeof entry->name);
    entry->size = head.size;
    entry->storedSize = head.storedSize;
    entry->compressed = head.compressed;
}

// The memory a record takes while its data is turned into plain bytes.
std::uint64_t PlainCost(const PackEntry& head) {
    return std::uint64_t{head.DataLength()} + (head.compressed != 0 ? head.size : 0);
}

// The steps that read records: peek reads each head (those `keep` turns away are skipped),
// take reads its data. The budget grows with the largest entry seen.
struct RecordSource {
    PackReader* reader;
    std::function<bool(const PackEntry&)> keep;
    PackEntry head;
    std::uint64_t budget = kWindowBytes;
    std::uint32_t failedAt = 0;

    int Peek(std::uint64_t* cost) {
        for (;;) {
            if (!reader->NextHead(&head)) {
                failedAt = reader->read() + 1;
                return reader->damaged() ? -1 : 0;
            }
            if (!keep || keep(head)) break;
            if (!reader->SkipData(head)) {
                failedAt = reader->read();
                return -1;
            }
        }
        budget = std::max(budget, kWindowBytes + 3 * std::uint64_t{head.size});
        *cost = PlainCost(head);
        return 1;
    }
    bool Take(Job& job) {
        TakeHead(head, job.entry.get());
        job.number = reader->read();
        job.bytes = head.size;
        return reader->ReadData(job.entry.get());
    }
    Steps MakeSteps() {
        Steps steps;
        steps.peek = [this](std::uint64_t* cost) { return Peek(cost); };
        steps.take = [this](Job& job) { return Take(job); };
        steps.where = [this] { return failedAt; };
        return steps;
    }
};

// The steps that load files by name into entries, compressed when asked, and write them.
Steps LoadSteps(const std::vector<FolderFile>& items, std::size_t* next, bool compress,
                Compressor engine, PackWriter* writer) {
    Steps steps;
    steps.peek = [&items, next, compress](std::uint64_t* cost) {
        if (*next == items.size()) return 0;
        *cost = (compress ? 3 : 1) * items[*next].size;
        return 1;
    };
    steps.take = [&items, next](Job& job) {
        const FolderFile& item = items[(*next)++];
        std::strncpy(job.entry->name, item.name.c_str(), sizeof job.entry->name - 1);
        job.bytes = item.size;
        return true;
    };
    steps.work = [compress, engine](Job& job) {
        char path[sizeof job.entry->name];
        std::memcpy(path, job.entry->name, sizeof path);
        if (job.entry->LoadFromFile(path))
            return !compress || CompressForPack(job.entry.get(), engine);
        std::memcpy(job.entry->name, path, sizeof path);  // the failure names its file
        return false;
    };
    steps.finish = [writer](Job& job) { return writer->Write(std::move(job.entry)); };
    return steps;
}

std::uint64_t Largest(const std::vector<FolderFile>& items) {
    std::uint64_t largest = 0;
    for (const FolderFile& item : items) largest = std::max(largest, item.size);
    return largest;
}

std::uint64_t TotalOf(const std::vector<FolderFile>& items) {
    std::uint64_t total = 0;
    for (const FolderFile& item : items) total += item.size;
    return total;
}

bool Fail(StreamFailure* failure, const char* item) {
    const DWORD reason = GetLastError();
    try {
        failure->item = item;
    } catch (const std::bad_alloc&) {
        failure->item.clear();
    }
    SetLastError(reason == 0 ? platform::kErrorFailed : reason);
    return false;
}

}  // namespace

bool StreamPackFolder(const char* path, const char* folder, bool compress, Compressor engine,
                      StreamFailure* failure) {
    std::vector<FolderFile> items;
    FolderReturn back;
    if (!back.ok()) return Fail(failure, ".");
    if (!back.Enter(folder)) return Fail(failure, folder);
    if (!ListFolderFiles(&items, true, &failure->item)) {
        const DWORD reason = GetLastError();
        failure->item = failure->item.empty()
                            ? std::string(folder)
                            : std::string(folder) + platform::kPathSeparator + failure->item;
        SetLastError(reason);
        return false;
    }
    back.Back();
    if (items.size() > UINT32_MAX) return Fail(failure, folder);
    SharedProgress().Start(items.size(), TotalOf(items));

    PackWriter writer(path, compress ? 1 : 0, static_cast<std::uint32_t>(items.size()));
    if (!writer.ok()) return Fail(failure, path);
    if (!back.Enter(folder)) return Fail(failure, folder);
    std::size_t next = 0;
    const std::uint64_t budget = kWindowBytes + 3 * Largest(items);
    const bool packed =
        RunWindow(LoadSteps(items, &next, compress, engine, &writer), budget, failure);
    const DWORD reason = GetLastError();
    back.Back();
    if (!packed) {
        // A file is what failed, named by its path, or else the pack file being written.
        failure->entry = 0;
        failure->item = writer.ok() ? std::string(folder) + platform::kPathSeparator + failure->item
                                    : std::string(path);
        SetLastError(reason);
        return false;
    }
    return writer.Commit() || Fail(failure, path);
}

bool StreamUnpack(const char* path, const char* folder, const std::vector<std::string>& names,
                  StreamFailure* failure) {
    PackReader reader;
    if (!reader.Open(path)) return Fail(failure, path);
    CreateDirectoryA(folder, nullptr);
    // Every entry is written relative to the folder held open here.
    platform::Folder target;
    if (!target.Open(folder)) return Fail(failure, folder);
    std::vector<bool> found(names.size(), false);
    RecordSource source{&reader, nullptr, {}, kWindowBytes};
    if (!names.empty()) {
        source.keep = [&names, &found](const PackEntry& head) {
            bool kept = false;
            for (std::size_t i = 0; i < names.size(); ++i) {
                if (names[i] == head.name) kept = found[i] = true;
            }
            return kept;
        };
    }
    SharedProgress().Start(reader.count(), 0);
    Steps steps = source.MakeSteps();
    // Entries are decoded and written on the workers. One that may land on the same file as an
    // entry still in flight is written here instead, when its turn in pack order comes, so the
    // later entry's bytes win as in the menu. Nothing is taken behind a failed entry.
    struct Flying {
        std::uint32_t number;
        char name[sizeof PackEntry::name];
    };
    std::deque<Flying> flying;  // taken and not yet finished, at most the window's size
    std::uint32_t finishedUpTo = 0;
    steps.take = [&source, &flying, &finishedUpTo](Job& job) {
        if (!source.Take(job)) return false;
        while (!flying.empty() && flying.front().number <= finishedUpTo) flying.pop_front();
        for (const Flying& earlier : flying) {
            if (SameTarget(earlier.name, job.entry->name)) job.here = true;
        }
        try {
            flying.push_back({job.number, {}});
        } catch (const std::bad_alloc&) {
            return false;
        }
        std::memcpy(flying.back().name, job.entry->name, sizeof flying.back().name);
        return true;
    };
    steps.work = [&target](Job& job) {
        return Decode(job) && (job.here || Pack::UnpackEntry(job.entry.get(), target));
    };
    steps.finish = [&target, &finishedUpTo](Job& job) {
        finishedUpTo = job.number;
        return !job.here || Pack::UnpackEntry(job.entry.get(), target);
    };
    // The budget is read as it grows: the window sees the largest entry so far.
    if (!RunWindow(steps, source.budget, failure)) return false;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!found[i]) {
            SetLastError(platform::kErrorNoSuchEntry);
            return Fail(failure, (std::string(path) + ": " + names[i]).c_str());
        }
    }
    return true;
}

bool StreamTest(const char* path, StreamFailure* failure) {
    PackReader reader;
    if (!reader.Open(path)) return Fail(failure, path);
    RecordSource source{&reader, nullptr, {}, kWindowBytes};
    SharedProgress().Start(reader.count(), 0);
    Steps steps = source.MakeSteps();
    steps.work = Decode;
    return RunWindow(steps, source.budget, failure);
}

namespace {

// Copies the records of reader that keep accepts into writer as they are.
bool CopyRecords(PackReader* reader, std::function<bool(const PackEntry&)> keep, PackWriter* writer,
                 StreamFailure* failure) {
    RecordSource source{reader, std::move(keep), {}, kWindowBytes};
    Steps steps = source.MakeSteps();
    steps.peek = [&source](std::uint64_t* cost) {
        const int next = source.Peek(cost);
        *cost = source.head.DataLength();
        return next;
    };
    steps.finish = [writer](Job& job) { return writer->Write(std::move(job.entry)); };
    return RunWindow(steps, source.budget, failure);
}

}  // namespace

bool StreamAdd(const char* path, const std::vector<std::string>& files, Compressor engine,
               StreamFailure* failure) {
    PackReader reader;
    std::uint64_t ignored = 0;
    SetLastError(0);
    std::FILE* existing = platform::OpenRegularFile(path, &ignored);
    const bool fresh = existing == nullptr && platform::IsNotFound(GetLastError());
    if (existing != nullptr) std::fclose(existing);
    if (!fresh && !reader.Open(path)) return Fail(failure, path);

    std::vector<FolderFile> items;
    for (const std::string& file : files) {
        items.push_back({file, 0});
        if (file.size() >= sizeof(PackEntry::name)) {
            SetLastError(platform::kErrorNameTooLong);
            return Fail(failure, file.c_str());
        }
        if (!platform::RegularFileLength(file.c_str(), &items.back().size)) {
            return Fail(failure, file.c_str());
        }
    }
    const std::uint64_t total = std::uint64_t{reader.count()} + items.size();
    if (total > UINT32_MAX) return Fail(failure, path);
    SharedProgress().Start(total, TotalOf(items));

    PackWriter writer(path, reader.flag(), static_cast<std::uint32_t>(total));
    if (!writer.ok()) return Fail(failure, path);
    if (!fresh && !CopyRecords(&reader, nullptr, &writer, failure)) {
        return writer.ok() ? false : Fail(failure, path);
    }
    std::size_t next = 0;
    const std::uint64_t budget = kWindowBytes + 3 * Largest(items);
    if (!RunWindow(LoadSteps(items, &next, reader.flag() != 0, engine, &writer), budget, failure,
                   reader.count())) {
        failure->entry = 0;  // the file is what failed, named as given
        return writer.ok() ? false : Fail(failure, path);
    }
    reader.Close();
    return writer.Commit() || Fail(failure, path);
}

bool StreamRemove(const char* path, const std::vector<std::string>& names, StreamFailure* failure) {
    // First the heads alone: which record each name takes, before anything is written.
    std::vector<std::uint32_t> dropped;
    std::uint32_t count = 0;
    std::uint8_t flag = 0;
    {
        PackReader reader;
        if (!reader.Open(path)) return Fail(failure, path);
        count = reader.count();
        flag = reader.flag();
        std::vector<bool> taken(names.size(), false);
        PackEntry head;
        while (reader.NextHead(&head)) {
            for (std::size_t i = 0; i < names.size(); ++i) {
                if (!taken[i] && !names[i].empty() && names[i].size() < sizeof head.name &&
                    names[i] == head.name) {
                    taken[i] = true;
                    dropped.push_back(reader.read());
                    break;
                }
            }
            if (!reader.SkipData(head)) break;
        }
        if (reader.damaged()) {
            failure->entry = reader.read() + 1;
            return false;
        }
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (!taken[i] || names[i].empty()) {
                SetLastError(platform::kErrorNoSuchEntry);
                return Fail(failure, (std::string(path) + ": " + names[i]).c_str());
            }
        }
    }
    PackReader reader;
    if (!reader.Open(path)) return Fail(failure, path);
    SharedProgress().Start(count, 0);
    PackWriter writer(path, flag, count - static_cast<std::uint32_t>(dropped.size()));
    if (!writer.ok()) return Fail(failure, path);
    auto keep = [&reader, &dropped](const PackEntry&) {
        return std::find(dropped.begin(), dropped.end(), reader.read()) == dropped.end();
    };
    if (!CopyRecords(&reader, keep, &writer, failure)) {
        return writer.ok() ? false : Fail(failure, path);
    }
    reader.Close();
    return writer.Commit() || Fail(failure, path);
}
