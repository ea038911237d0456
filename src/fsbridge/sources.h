// The command line's job sources: records read from a pack file, and files loaded by name. Each
// feeds a window that holds only a bounded number of entries at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fsbridge/folder.h"
#include "pack/records.h"
#include "pack/window.h"

// What the entries in flight may take together beside three times the largest entry, so that
// smaller ones go on while the largest is worked on.
inline constexpr std::uint64_t kWindowBytes = std::uint64_t{40} << 20;

// The records of a pack file, each read into an entry the job holds; a job's item is the
// record's place in the pack, from 0. The budget asked for grows with the largest entry met so far.
// Work and Finish are the user's (unpack, test, copy); this class only takes.
class RecordSource : public JobSource {
  public:
    explicit RecordSource(PackReader* reader) : reader_(*reader) {}
    int Next(std::uint64_t room, Offer* offer, platform::Reason* why) override;
    bool Take(Job& job) override;

  protected:
    // Whether the record whose head was read is taken; those turned away are skipped.
    virtual bool Keep(const PackEntry&) { return true; }
    // What the record may hold at its peak: its data, and the plain bytes made of it.
    virtual std::uint64_t CostOf(const PackEntry& head) const {
        return std::uint64_t{head.DataLength()} + (head.compressed != 0 ? head.size : 0);
    }

    PackReader& reader_;

  private:
    PackEntry head_;
    std::uint32_t taken_ = 0;
    bool peeked_ = false;  // head_ holds the next record's, not yet taken
    std::uint64_t budget_ = kWindowBytes;
};

// Records copied into a pack writer as they are, never decoded.
class CopySource : public RecordSource {
  public:
    CopySource(PackReader* reader, PackWriter* writer) : RecordSource(reader), writer_(*writer) {}
    bool Work(Job&) override { return true; }
    bool Finish(Job& job) override;

  protected:
    std::uint64_t CostOf(const PackEntry& head) const override { return head.DataLength(); }

  private:
    PackWriter& writer_;
};

// Files of the current folder loaded by name into entries, compressed by `engine` when asked,
// and written in their order; the costliest are compressed ahead of their turn.
class FileSource final : public JobSource {
  public:
    FileSource(const std::vector<FolderFile>& files, bool compress, Compressor engine,
               std::uint64_t budget, PackWriter* writer);
    int Next(std::uint64_t room, Offer* offer, platform::Reason* why) override;
    bool Take(Job& job) override;
    bool Work(Job& job) override;
    bool Finish(Job& job) override;

  private:
    std::uint64_t CostOf(std::uint32_t file) const;

    const std::vector<FolderFile>& files_;
    bool compress_;
    Compressor engine_;
    PackWriter& writer_;
    AheadOrder order_;
};

// The budget of a run over these files: what three of the largest take, and the window's bytes.
std::uint64_t BudgetFor(const std::vector<FolderFile>& files);
