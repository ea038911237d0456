// The items of an archive planned for a pack, and the job source that moves them into it: small
// ones whole on the workers, large ones in pieces as they are read, one archive item read once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "convert/archive_in.h"
#include "fsbridge/sources.h"
#include "fsbridge/streams.h"

// One item of the pack made of an archive's item (a file in parts is one for each part): what
// its description says of it (its path cleaned, the stored name, the entry's plain size and,
// once read, its CRC-32), and where its bytes come from.
struct Planned {
    descriptions::Item item;
    std::uint32_t source = 0;  // the archive's item it comes from, from 0
    std::uint64_t whole = 0;   // that item's size
    std::uint64_t read = 0;  // the bytes its entry takes from the archive (none for an empty file)
};

// What the first pass made of the archive: the items taken, in the archive's order.
struct Plan {
    std::vector<Planned> items;
    std::uint32_t entries = 0;  // of the items, those held by an entry
    std::uint64_t bytes = 0;    // read from the archive for them
    std::uint64_t largest = 0;  // of the entries moved whole
};

// The entries of a run of described items, held until the run's description is written: their
// heads, and their stored bytes one after the other.
struct HeldRun {
    struct Head {
        char name[PackEntry::kNameSize];
        std::uint32_t size, storedSize;
        std::uint8_t compressed;
    };
    Spill bytes;
    std::vector<Head> heads;
};

// The next `length` bytes of another source at most.
class Limited final : public PieceSource {
  public:
    Limited(PieceSource* in, std::uint64_t length) : in_(*in), left_(length) {}
    std::size_t Read(unsigned char* bytes, std::size_t length, platform::Reason* why) override {
        if (length > left_) length = static_cast<std::size_t>(left_);
        const std::size_t got = length == 0 ? 0 : in_.Read(bytes, length, why);
        left_ -= got;
        return got;
    }

  private:
    PieceSource& in_;
    std::uint64_t left_;
};

// Reads the planned items' bytes from the archive in its order on this thread: a small one into
// its entry as it is taken (then compressed on a worker when asked), a large one read in pieces
// as it is taken, alone in flight, into a spill written in its turn.
class ArchiveSource final : public JobSource {
  public:
    ArchiveSource(ArchiveReader* reader, Plan* plan, const StreamOptions& options,
                  PackWriter* writer)
        : reader_(*reader), plan_(*plan), options_(options), sink_(writer) {}

    // The items from `first` to `end` are those a run takes next. Their entries go to the
    // writer; with `held`, to it instead, each item given its entry's CRC-32.
    void Start(std::size_t first, std::size_t end, HeldRun* held);
    int Next(std::uint64_t, Offer* offer, platform::Failure* failure) override;
    bool Take(Job& job) override;
    bool Work(Job& job) override;
    bool Finish(Job& job) override;
    void Name(const Job& job, platform::Failure* failure) const override;
    // libarchive's words for a failure of its, when the run failed at one.
    const std::string& words() const { return words_.empty() ? reader_.error() : words_; }

  private:
    bool Reach(const Planned& planned, platform::Failure* failure);
    bool MoveNow(Job& job);
    bool Hold(Job& job);

    ArchiveReader& reader_;
    Plan& plan_;
    const StreamOptions& options_;
    EntrySink sink_;
    HeldRun* held_ = nullptr;
    std::size_t at_ = 0, end_ = 0;      // the items of the run not yet taken
    std::uint32_t heads_ = 0;           // the archive's items whose head was read
    std::uint32_t taken_ = 0;           // jobs taken
    std::uint32_t finished_ = 0;        // jobs finished
    std::vector<std::size_t> planned_;  // each job's item, from the run's first job on
    std::uint32_t first_ = 0;           // the run's first job
    std::string words_;
};
