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
#include <unordered_map>

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

PackWriter::~PackWriter() {
    const DWORD reason = GetLastError();
    held_.clear();  // freeing blocks may touch the last error on some systems
    SetLastError(reason);
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

// The memory a file takes at its peak while it is loaded and compressed: its bytes, and a work
// block a tenth larger (and a little more for libdeflate) that is cut to the stream in place.
std::uint64_t CompressCost(std::uint64_t size) {
    return 2 * size + size / 8 + 4096;
}

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

// The steps of a windowed run. Peek tells whether there is a next entry and what it costs
// (1 yes, 0 no more, -1 failed), given the room left in the budget; it may be asked again
// before the entry is taken. Take fills the entry on this thread; Work runs on a worker thread
// (may be empty); Finish runs on this thread, in the order of the entries' numbers. False from
// any of them carries its reason in the last error.
struct Steps {
    std::function<int(std::uint64_t room, std::uint64_t* cost)> peek;
    std::function<bool(Job&)> take;
    std::function<bool(Job&)> work;
    std::function<bool(Job&)> finish;
    // The number of the entry a failed peek was at; empty: the one after the last taken.
    std::function<std::uint32_t()> where;
    // Whether every entry numbered before this one has been taken. Empty: entries are taken in
    // the order of their numbers, so always.
    std::function<bool(std::uint32_t number)> inTurn;
};

// Runs the steps over every entry with a bounded window in flight: at most a few entries per
// worker, together costing at most `budget` (one entry alone may cost more, and so may the next
// in turn when everything in flight waits for it). Stops taking entries at the first failure,
// finishes those before it, and reports the first failed entry.
bool RunWindow(const Steps& steps, const std::uint64_t& budget, StreamFailure* failure,
               std::uint32_t numberBase = 0) {
    // A worker per core; this thread only takes and finishes entries.
    const unsigned workers = std::clamp(std::thread::hardware_concurrency(), 1u, 16u);
    // Small entries go many at a time, so that the threads seldom wait for each other.
    const std::size_t slots = 128 * std::size_t{workers};

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
    std::size_t done = 0;  // jobs in flight whose work is done, guarded by the lock
    // What this thread waits for, set under the lock while it waits: the first job in flight,
    // whether it is in its turn, whether more entries may be taken and what the next costs.
    const Job* awaited = nullptr;
    bool turn = false;
    bool more = false;
    bool ending = false;  // nothing more will be taken
    std::size_t inFlight = 0;
    std::uint64_t nextCost = 0;
    // Whether this thread has something to do. While the workers have plenty queued it finishes
    // jobs a batch at a time and takes entries only when the queue runs low, so that it is not
    // woken for every small entry.
    const std::size_t batch = slots / 2;
    auto due = [&] {
        const bool low = queue.size() < batch;
        if (awaited->done && turn && (ending || done >= batch || low)) return true;
        if (!more) return false;
        if (!turn && done == inFlight) return true;  // everything waits for an entry not taken
        return flightCost + nextCost <= budget && (low || !turn);
    };
    auto settle = [&flightCost](Job& job) {
        const std::uint64_t held = job.entry->DataLength();
        if (held < job.cost) {
            flightCost -= job.cost - held;
            job.cost = held;
        }
    };
    // Takes the next queued job, with a few more behind it while they are small and the queue
    // holds plenty for the others, and works on them: the lock is taken twice for the lot,
    // not for each. The lock is held on entry and on return.
    constexpr std::size_t kGrabMost = 32;
    constexpr std::uint64_t kGrabBytes = std::uint64_t{1} << 20;
    auto runNext = [&](std::unique_lock<std::mutex>& held) {
        Job* grabbed[kGrabMost];
        std::size_t count = 0;
        std::uint64_t cost = 0;
        do {
            cost += queue.front()->cost;
            grabbed[count++] = queue.front();
            queue.pop_front();
        } while (count < kGrabMost && queue.size() > workers &&
                 cost + queue.front()->cost <= kGrabBytes);
        held.unlock();
        for (std::size_t i = 0; i < count; ++i) {
            Job& job = *grabbed[i];
            job.ok = steps.work(job);
            job.error = job.ok ? 0 : GetLastError();
        }
        held.lock();
        for (std::size_t i = 0; i < count; ++i) {
            grabbed[i]->done = true;
            settle(*grabbed[i]);
        }
        done += count;
        if (waiting && due()) finished.notify_one();
    };
    auto serve = [&] {
        std::unique_lock<std::mutex> held(lock);
        for (;;) {
            queued.wait(held, [&] { return stop || !queue.empty(); });
            if (queue.empty()) break;
            runNext(held);
        }
        held.unlock();
        ReleaseThreadCoders();
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

    // In the order of the entries' numbers, which is the order they finish in.
    std::deque<std::unique_ptr<Job>> flight;
    auto inTurn = [&steps](const Job& job) { return !steps.inTurn || steps.inTurn(job.number); };
    bool ended = false;
    std::uint32_t number = numberBase;
    std::vector<Job*> handed;  // taken, for the workers
    handed.reserve(slots);
    for (;;) {
        if (failedAt == 0 && !ended && flight.size() < slots) {
            std::uint64_t room = 0;
            bool stuck = false;
            {
                std::lock_guard<std::mutex> held(lock);
                // Everything in flight is done yet waits for an entry not taken: that one is
                // taken whatever it costs.
                stuck = !flight.empty() && done == flight.size() && !inTurn(*flight.front());
                if (!stuck && flightCost < budget) room = budget - flightCost;
            }
            // What fits in the room is taken at once and handed to the workers together.
            std::uint64_t takenCost = 0;
            while (flight.size() < slots) {
                const int next = steps.peek(room, &nextCost);
                if (next < 0) fail(steps.where ? steps.where() : number + 1, "", GetLastError());
                if (next <= 0) {
                    ended = true;
                    break;
                }
                if (!flight.empty() && !stuck && nextCost > room) break;
                std::unique_ptr<Job> job(new (std::nothrow) Job);
                if (job == nullptr || job->entry == nullptr) {
                    fail(number + 1, "", GetLastError());
                    break;
                }
                job->number = ++number;
                job->cost = nextCost;
                if (!steps.take(*job)) {
                    fail(job->number, job->entry->name, GetLastError());
                    break;
                }
                stuck = false;
                room -= std::min(room, nextCost);
                if (started == 0) {
                    job->ok = !steps.work || steps.work(*job);
                    job->error = job->ok ? 0 : GetLastError();
                    job->done = true;
                    std::lock_guard<std::mutex> held(lock);
                    flightCost += job->cost;
                    ++done;
                    settle(*job);
                } else {
                    takenCost += job->cost;
                    handed.push_back(job.get());
                }
                auto at = std::upper_bound(flight.begin(), flight.end(), job->number,
                                           [](std::uint32_t n, const std::unique_ptr<Job>& other) {
                                               return n < other->number;
                                           });
                flight.insert(at, std::move(job));
            }
            if (!handed.empty()) {
                {
                    std::lock_guard<std::mutex> held(lock);
                    flightCost += takenCost;
                    queue.insert(queue.end(), handed.begin(), handed.end());
                }
                queued.notify_all();
            }
            handed.clear();
        }
        if (flight.empty()) break;
        Job& front = *flight.front();
        {
            std::unique_lock<std::mutex> held(lock);
            awaited = &front;
            // A job may finish once every entry before it has been taken; after a failure,
            // nothing more is taken and every job is only waited for.
            turn = failedAt != 0 || inTurn(front);
            // Only the budget held back the entry peeked at: once enough is settled, take it.
            more = failedAt == 0 && !ended && flight.size() < slots;
            ending = failedAt != 0 || ended;
            inFlight = flight.size();
            waiting = true;
            finished.wait(held, due);
            waiting = false;
        }
        if (!front.done || !turn) continue;
        if (!front.ok) {
            fail(front.number, front.entry->name, front.error);
        } else if (inTurn(front) && (failedAt == 0 || front.number < failedAt)) {
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
            --done;
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
    bool peeked = false;  // head holds the next record's, not yet taken

    int Peek(std::uint64_t* cost) {
        if (peeked) {
            *cost = PlainCost(head);
            return 1;
        }
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
        peeked = true;
        return 1;
    }
    bool Take(Job& job) {
        peeked = false;
        TakeHead(head, job.entry.get());
        job.number = reader->read();
        job.bytes = head.size;
        return reader->ReadData(job.entry.get());
    }
    Steps MakeSteps() {
        Steps steps;
        steps.peek = [this](std::uint64_t, std::uint64_t* cost) { return Peek(cost); };
        steps.take = [this](Job& job) { return Take(job); };
        steps.where = [this] { return failedAt; };
        return steps;
    }
};

// The order files are loaded in. Files go in their order, except that the largest are taken
// first, biggest first, whenever they fit in the room left: a core is then not left alone with
// a big file while the window behind it is full, nor with one at the end. Their records wait
// for their turn. What they hold while waiting, with what the costliest of the other files
// takes, fits in the budget, so the next file in order always finds room.
class LoadOrder {
  public:
    LoadOrder(const std::vector<FolderFile>& items, bool compress, std::uint64_t budget)
        : items_(items), compress_(compress), taken_(items.size(), false) {
        if (!compress) return;  // loading alone is even work
        std::vector<std::size_t> bySize(items.size());
        for (std::size_t i = 0; i < bySize.size(); ++i) bySize[i] = i;
        std::stable_sort(bySize.begin(), bySize.end(), [&items](std::size_t a, std::size_t b) {
            return items[a].size > items[b].size;
        });
        std::uint64_t waiting = 0;
        for (std::size_t k = 0; k < bySize.size() && ahead_.size() < kAheadMost; ++k) {
            const std::uint64_t size = items[bySize[k]].size;
            if (size < kAheadLeast) break;
            // A stream of incompressible bytes is a little longer than they are.
            waiting += size + size / 256 + 4096;
            const std::uint64_t rest = k + 1 < bySize.size() ? Cost(bySize[k + 1]) : 0;
            if (waiting + rest > budget) break;
            ahead_.push_back(bySize[k]);
        }
    }

    // The file to take next, given the room left: 1 and its index and cost, or 0 when every
    // file is taken.
    int Next(std::uint64_t room, std::size_t* index, std::uint64_t* cost) const {
        if (aheadNext_ < ahead_.size() && Cost(ahead_[aheadNext_]) <= room) {
            *index = ahead_[aheadNext_];
        } else if (inOrder_ < items_.size()) {
            *index = inOrder_;
        } else {
            return 0;
        }
        *cost = Cost(*index);
        return 1;
    }
    void Take(std::size_t index) {
        taken_[index] = true;
        while (inOrder_ < taken_.size() && taken_[inOrder_]) ++inOrder_;
        while (aheadNext_ < ahead_.size() && taken_[ahead_[aheadNext_]]) ++aheadNext_;
    }
    // Whether every file before this one has been taken.
    bool InTurn(std::size_t index) const { return index < inOrder_; }

  private:
    // Files below this size are done too soon to leave a core alone.
    static constexpr std::uint64_t kAheadLeast = kWindowBytes / 8;
    // Few enough that the window always has slots for the files in order.
    static constexpr std::size_t kAheadMost = 16;

    std::uint64_t Cost(std::size_t index) const {
        const std::uint64_t size = items_[index].size;
        return compress_ ? CompressCost(size) : size;
    }

    const std::vector<FolderFile>& items_;
    bool compress_;
    std::vector<bool> taken_;
    std::vector<std::size_t> ahead_;  // the files taken before their turn, biggest first
    std::size_t aheadNext_ = 0;       // the first of them not taken
    std::size_t inOrder_ = 0;         // the first file not taken
};

// The steps that load files by name into entries numbered from numberBase + 1, compressed when
// asked, and write them.
Steps LoadSteps(LoadOrder* order, const std::vector<FolderFile>& items, std::uint32_t numberBase,
                bool compress, Compressor engine, PackWriter* writer) {
    Steps steps;
    auto index = std::make_shared<std::size_t>(0);  // the file last peeked at
    steps.peek = [order, index](std::uint64_t room, std::uint64_t* cost) {
        return order->Next(room, index.get(), cost);
    };
    steps.take = [&items, order, index, numberBase](Job& job) {
        const FolderFile& item = items[*index];
        order->Take(*index);
        job.number = numberBase + static_cast<std::uint32_t>(*index) + 1;
        std::strncpy(job.entry->name, item.name.c_str(), sizeof job.entry->name - 1);
        job.bytes = item.size;
        return true;
    };
    steps.inTurn = [order, numberBase](std::uint32_t number) {
        return order->InTurn(number - numberBase - 1);
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
    const std::uint64_t budget = kWindowBytes + 3 * Largest(items);
    LoadOrder order(items, compress, budget);
    const bool packed =
        RunWindow(LoadSteps(&order, items, 0, compress, engine, &writer), budget, failure);
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
        std::string key;
    };
    std::deque<Flying> flying;  // taken and not yet finished, at most the window's size
    std::unordered_map<std::string, std::uint32_t> landing;  // how many of them land on each key
    std::uint32_t finishedUpTo = 0;
    steps.take = [&source, &flying, &landing, &finishedUpTo](Job& job) {
        if (!source.Take(job)) return false;
        while (!flying.empty() && flying.front().number <= finishedUpTo) {
            auto at = landing.find(flying.front().key);
            if (--at->second == 0) landing.erase(at);
            flying.pop_front();
        }
        char key[sizeof PackEntry::name];
        TargetKey(job.entry->name, key);
        try {
            std::string target(key);
            job.here = landing[target]++ != 0;
            flying.push_back({job.number, std::move(target)});
        } catch (const std::bad_alloc&) {
            return false;
        }
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
    steps.peek = [&source](std::uint64_t, std::uint64_t* cost) {
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
    const std::uint64_t budget = kWindowBytes + 3 * Largest(items);
    LoadOrder order(items, reader.flag() != 0, budget);
    if (!RunWindow(LoadSteps(&order, items, reader.count(), reader.flag() != 0, engine, &writer),
                   budget, failure, reader.count())) {
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
