// The pack file reader and writer: a 9-byte header, then one record per entry.
#include <cstring>
#include <new>

#include "pack/pack.h"
#include "pack/pack_format.h"
#include "pack/progress.h"
#include "pack/workers.h"
#include "platform/atomic_file.h"
#include "platform/process.h"

namespace fmt = pack_format;

namespace {

bool SameForm(const PackEntry& entry, std::uint8_t packFlag) {
    return (entry.compressed != 0) == (packFlag != 0);
}

// Gathers the file header and the records into few writes, taking each entry's data straight
// from its block. An entry stays locked from Add until its bytes are written or abandoned,
// then is left unlocked with no view.
class RecordWriter {
  public:
    explicit RecordWriter(std::FILE* file) : file_(file) {}
    ~RecordWriter() { Release(); }
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    // Queues bytes that stay in place until the next Flush.
    bool Add(const unsigned char* bytes, std::size_t length) {
        if (pieces_ == kMaxPieces && !Flush()) return false;
        piece_[pieces_++] = {bytes, length};
        return true;
    }

    // Queues the record head and exactly the data the entry's own flag calls for.
    bool Add(PackEntry* entry) {
        if ((records_ == kMaxRecords || pieces_ + 2 > kMaxPieces) && !Flush()) return false;
        if (entry->data == nullptr) return false;
        entry->view = static_cast<unsigned char*>(GlobalLock(entry->data));
        if (entry->view == nullptr) return false;
        unsigned char* head = head_[records_];
        entry->EncodeHead(head);
        entry_[records_++] = entry;
        piece_[pieces_++] = {head, fmt::kRecordHeadSize};
        piece_[pieces_++] = {entry->view, entry->DataLength()};
        return true;
    }

    bool Flush() {
        const bool written = platform::WritePieces(file_, piece_, pieces_);
        Release();
        return written;
    }

  private:
    static constexpr std::size_t kMaxRecords = 256;
    static constexpr std::size_t kMaxPieces = 2 * kMaxRecords + 1;

    void Release() {
        for (std::size_t i = 0; i < records_; ++i) {
            GlobalUnlock(entry_[i]->data);
            entry_[i]->view = nullptr;
        }
        records_ = 0;
        pieces_ = 0;
    }

    std::FILE* file_;
    platform::WritePiece piece_[kMaxPieces];
    unsigned char head_[kMaxRecords][fmt::kRecordHeadSize];
    PackEntry* entry_[kMaxRecords];
    std::size_t pieces_ = 0;
    std::size_t records_ = 0;
};

}  // namespace

bool PackEntry::ReadRecord(std::FILE* file, std::uint64_t available) {
    return ReadRecordHead(file, available) && ReadRecordData(file);
}

bool PackEntry::ReadRecordHead(std::FILE* file, std::uint64_t available) {
    if (file == nullptr) return false;
    Reset();

    unsigned char head[fmt::kRecordHeadSize];
    if (available < sizeof head || std::fread(head, 1, sizeof head, file) != sizeof head) {
        if (available < sizeof head || std::ferror(file) == 0) {
            SetLastError(platform::kErrorDamagedRecord);
        }
        return false;
    }
    const std::uint32_t claimedSize = fmt::GetU32(head + fmt::kSizeOffset);         /* size */
    const std::uint32_t claimedStored = fmt::GetU32(head + fmt::kStoredSizeOffset); /* stored */

    // Believe no length the file cannot hold, nor a size its stream could never expand to,
    // nor a name without its end.
    const std::uint32_t length = compressed != 0 ? claimedStored : claimedSize;
    if (std::memchr(head + fmt::kNameOffset, '\0', fmt::kNameSize) == nullptr || length == 0 ||
        length > available - sizeof head ||
        (compressed != 0 && claimedSize > fmt::kMaxInflateRatio * claimedStored)) {
        SetLastError(platform::kErrorDamagedRecord);
        return false;
    }
    size = claimedSize;
    storedSize = claimedStored;
    std::memcpy(name, head + fmt::kNameOffset, fmt::kNameSize); /* name */
    return true;
}

bool PackEntry::ReadRecordData(std::FILE* file) {
    const std::uint32_t length = DataLength();
    if (file == nullptr || data != nullptr || length == 0) return false;
    data = GlobalAlloc(GHND, length);
    view = static_cast<unsigned char*>(GlobalLock(data));
    if (view == nullptr || std::fread(view, 1, length, file) != length) {
        if (view != nullptr && std::ferror(file) == 0) {
            SetLastError(platform::kErrorDamagedRecord);
        }
        const DWORD reason = GetLastError();
        Reset();
        SetLastError(reason);
        return false;
    }
    GlobalUnlock(data);
    view = nullptr;
    return true;
}

void PackEntry::EncodeHead(unsigned char* head) const {
    fmt::PutU32(head + fmt::kSizeOffset, size);                 /* size */
    fmt::PutU32(head + fmt::kStoredSizeOffset, storedSize);     /* stored size */
    std::memcpy(head + fmt::kNameOffset, name, fmt::kNameSize); /* name */
}

bool PackEntry::WriteRecord(std::FILE* file) {
    PackEntry* self = this;
    return WriteRecords(file, &self, 1);
}

bool PackEntry::WriteRecords(std::FILE* file, PackEntry* const* entries, std::size_t count) {
    if (file == nullptr) return false;
    RecordWriter out(file);
    for (std::size_t i = 0; i < count; ++i) {
        if (!out.Add(entries[i])) return false;
    }
    return out.Flush();
}

bool Pack::Load(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    Clear();
    std::uint64_t length = 0;
    std::FILE* file = platform::OpenRegularFile(path, &length);
    if (file == nullptr) return false;
    const bool loaded = LoadStream(file, length);
    std::fclose(file);
    return loaded;
}

bool Pack::LoadStream(std::FILE* file, std::uint64_t length) {
    Clear();
    unsigned char header[fmt::kHeaderSize];
    if (file == nullptr || length < sizeof header ||
        std::fread(header, 1, sizeof header, file) != sizeof header) {
        return false;
    }
    std::uint8_t flag = 0;
    std::uint32_t records = 0;
    std::uint64_t left = length - sizeof header;
    if (!fmt::DecodeHeader(header, &flag, &records) || records == 0 ||
        records > left / fmt::kMinRecordSize) {
        SetLastError(platform::kErrorNotPackFile);
        return false;
    }

    compressed = flag;
    SharedProgress().Start(records, length);
    PackEntry* tail = nullptr;
    for (std::uint32_t read = 0; read < records; ++read) {
        auto* entry = new (std::nothrow) PackEntry;
        if (entry == nullptr) break;
        entry->compressed = flag;
        if (!entry->ReadRecord(file, left)) {
            delete entry;
            break;
        }
        left -= fmt::kRecordHeadSize + entry->DataLength();
        SharedProgress().Advance(fmt::kRecordHeadSize + entry->DataLength());
        (tail == nullptr ? head : tail->next) = entry;
        tail = entry;
        ++count;
    }
    if (count == records) return true;
    Clear();
    return false;
}

bool Pack::Save(const char* path) {
    if (path == nullptr || *path == '\0') return false;

    // The file carries one flag for every record, so each entry must be in the pack's form;
    // those that are not are converted on every core.
    bool mixed = false;
    for (PackEntry* entry = head; entry != nullptr && !mixed; entry = entry->next) {
        mixed = !SameForm(*entry, compressed);
    }
    if (mixed) {
        const std::uint8_t form = compressed;
        ForEachEntry(head, count, 0, [form](PackEntry* entry) {
            if (SameForm(*entry, form)) return;
            if (form != 0) {
                entry->Compress();
            } else {
                entry->Decompress();
            }
        });
    }
    for (PackEntry* entry = head; entry != nullptr; entry = entry->next) {
        if (!SameForm(*entry, compressed)) return false;
    }

    platform::AtomicFile out(path);
    if (out.stream() == nullptr) return false;
    unsigned char header[fmt::kHeaderSize];
    fmt::EncodeHeader(header, compressed, count);

    RecordWriter records(out.stream());
    if (!records.Add(header, sizeof header)) return false;
    std::uint64_t bytes = 0;
    for (PackEntry* entry = head; entry != nullptr; entry = entry->next) {
        bytes += entry->DataLength();
    }
    SharedProgress().Start(count, bytes);
    std::uint32_t written = 0;
    for (PackEntry* entry = head; entry != nullptr; entry = entry->next) {
        if (!records.Add(entry)) return false;
        SharedProgress().Advance(entry->DataLength());
        ++written;
    }
    return written == count && records.Flush() && out.Commit();
}
