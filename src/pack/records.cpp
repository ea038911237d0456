// The header and record codec, the record-by-record reader and the gathering writer.
#include "pack/records.h"

#include <cstring>
#include <new>

#include "pack/pack_format.h"

namespace fmt = pack_format;
using platform::Fail;
using platform::Reason;

bool PackReader::Open(const char* path, Reason* why) {
    std::uint64_t length = 0;
    if (file_ != nullptr) return Fail(why, platform::kErrorFailed);
    std::FILE* file = platform::OpenRegularFile(path, &length, why);
    owned_ = true;
    return file != nullptr && Open(file, length, why);
}

bool PackReader::Open(std::FILE* file, std::uint64_t length, Reason* why) {
    file_ = file;
    sized_ = length != platform::kUnknownLength;
    unsigned char bytes[fmt::kHeaderSize];
    if (length < sizeof bytes ||
        !ReadExactly(bytes, sizeof bytes, platform::kErrorNotPackFile, why)) {
        return Fail(why, platform::kErrorNotPackFile);
    }
    // Of a stream of unknown length nothing is known to be left: every check below passes, and
    // the input that ends early is what tells.
    left_ = sized_ ? length - sizeof bytes : UINT64_MAX;
    position_ = sizeof bytes;
    if (!fmt::DecodeHeader(bytes, &header_.flag, &header_.count) ||
        header_.count > left_ / fmt::kMinRecordSize) {
        return Fail(why, platform::kErrorNotPackFile);
    }
    return true;
}

void PackReader::Close() {
    if (file_ != nullptr && owned_) std::fclose(file_);
    file_ = nullptr;
}

bool PackReader::ReadExactly(void* bytes, std::size_t length, Reason damage, Reason* why) {
    Reason failure = 0;
    const std::size_t got = platform::ReadBytes(file_, bytes, length, &failure);
    position_ += got;
    if (got == length) return true;
    damaged_ = true;
    return Fail(why, failure != 0 ? failure : damage);
}

bool PackReader::NextHead(PackEntry* entry, Reason* why) {
    if (file_ == nullptr || read_ == header_.count || damaged_) return false;
    if (data_ != 0 && !SkipRest(why)) return false;
    record_ = read_ + 1;
    entry->Reset();
    entry->compressed = header_.flag;
    unsigned char head[fmt::kRecordHeadSize];
    damaged_ = left_ < sizeof head;
    if (damaged_) return Fail(why, platform::kErrorDamagedRecord);
    if (!ReadExactly(head, sizeof head, platform::kErrorDamagedRecord, why)) return false;
    const std::uint32_t size = fmt::GetU32(head + fmt::kSizeOffset);         /* size */
    const std::uint32_t stored = fmt::GetU32(head + fmt::kStoredSizeOffset); /* stored size */
    // Believe no length the file cannot hold, nor a size its stream could never expand to,
    // nor a name without its end.
    const std::uint32_t length = header_.flag != 0 ? stored : size;
    damaged_ = std::memchr(head + fmt::kNameOffset, '\0', fmt::kNameSize) == nullptr ||
               length == 0 || length > left_ - sizeof head ||
               (header_.flag != 0 && size > fmt::kMaxInflateRatio * stored);
    if (damaged_) return Fail(why, platform::kErrorDamagedRecord);
    entry->size = size;
    entry->storedSize = stored;
    std::memcpy(entry->name, head + fmt::kNameOffset, fmt::kNameSize); /* name */
    ++read_;
    if (sized_) left_ -= sizeof head + length;
    data_ = length;
    return true;
}

bool PackReader::ReadData(PackEntry* entry, Reason* why) {
    const std::uint32_t length = entry->DataLength();
    entry->data = GlobalAlloc(GHND, length);
    entry->view = static_cast<unsigned char*>(GlobalLock(entry->data));
    if (entry->view == nullptr ||
        !ReadExactly(entry->view, length, platform::kErrorDamagedRecord, why)) {
        if (entry->view == nullptr) Fail(why, platform::kErrorNoMemory);
        entry->Reset();
        return false;
    }
    data_ = 0;
    GlobalUnlock(entry->data);
    entry->view = nullptr;
    return true;
}

bool PackReader::SkipData(const PackEntry& entry, Reason* why) {
    return Pass(entry.DataLength(), why);
}

bool PackReader::SkipRest(Reason* why) {
    return Pass(data_, why);
}

bool PackReader::Pass(std::uint64_t length, Reason* why) {
    data_ = 0;
    if (sized_) {
        // The head was checked against the bytes left, so the seek stays inside the file.
        damaged_ = !platform::SkipBytes(file_, length, why);
        position_ += length;
        return !damaged_;
    }
    unsigned char passed[64 << 10];
    for (std::uint64_t left = length; left != 0;) {
        const std::size_t piece =
            left < sizeof passed ? static_cast<std::size_t>(left) : sizeof passed;
        if (!ReadExactly(passed, piece, platform::kErrorDamagedRecord, why)) return false;
        left -= piece;
    }
    return true;
}

std::size_t PackReader::Read(unsigned char* bytes, std::size_t length, Reason* why) {
    const std::size_t piece = data_ < length ? static_cast<std::size_t>(data_) : length;
    if (piece == 0 || !ReadExactly(bytes, piece, platform::kErrorDamagedRecord, why)) return 0;
    data_ -= piece;
    return piece;
}

const platform::FileAt* PackReader::DataFile() {
    if (!tried_ && sized_ && file_ != nullptr) {
        tried_ = true;
        fileAt_.Open(file_, nullptr);
        at_ = position_;
    }
    return fileAt_.IsOpen() ? &fileAt_ : nullptr;
}

std::size_t RecordAt::Read(unsigned char* bytes, std::size_t length, Reason* why) {
    const std::size_t piece = left_ < length ? left_ : length;
    Reason failure = 0;
    const std::size_t got = piece == 0 ? 0 : file_.Read(offset_, bytes, piece, &failure);
    if (got < piece) {
        Fail(why, failure != 0 ? failure : platform::kErrorDamagedRecord);
        return 0;
    }
    offset_ += got;
    left_ -= static_cast<std::uint32_t>(got);
    return got;
}

PackWriter::PackWriter(const char* path, std::uint8_t flag, std::uint32_t count)
    : out_(path), count_(count) {
    Begin(flag);
}

PackWriter::PackWriter(platform::StandardOutput to, std::uint8_t flag, std::uint32_t count)
    : out_(to), count_(count) {
    Begin(flag);
}

void PackWriter::Begin(std::uint8_t flag) {
    reason_ = out_.reason();
    if (out_.stream() == nullptr && reason_ == 0) reason_ = platform::kErrorFailed;
    fmt::EncodeHeader(header_, flag, count_);
}

bool PackWriter::Write(PackEntry* entry) {
    return Hold(entry, false);
}

bool PackWriter::Write(std::unique_ptr<PackEntry> entry) {
    return Hold(entry.release(), true);
}

bool PackWriter::Write(const PackEntry& head, PieceSource& data, Reason* why) {
    if (ok() && (cut_ || written_ + records_ >= count_)) reason_ = platform::kErrorFailed;
    if (!Flush()) return Fail(why, reason_);
    unsigned char bytes[fmt::kRecordHeadSize];
    fmt::EncodeHead(bytes, head.size, head.storedSize, head.name);
    platform::WritePiece piece{bytes, sizeof bytes};
    if (!platform::WritePieces(out_.stream(), &piece, 1, &reason_)) return Fail(why, reason_);
    bytes_ += sizeof bytes;
    cut_ = true;  // until every byte of the data is written
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kStoredPiece]);
    if (buffer == nullptr) return Fail(why, platform::kErrorNoMemory);
    std::uint64_t left = head.DataLength();
    Reason failure = 0;
    for (std::size_t got; (got = data.Read(buffer.get(), kStoredPiece, &failure)) != 0;) {
        if (got > left) return Fail(why, platform::kErrorFailed);
        piece = {buffer.get(), got};
        if (!platform::WritePieces(out_.stream(), &piece, 1, &reason_)) return Fail(why, reason_);
        left -= got;
        bytes_ += got;
    }
    if (failure != 0 || left != 0) return Fail(why, failure);
    cut_ = false;
    ++written_;
    return true;
}

bool PackWriter::Hold(PackEntry* entry, bool owned) {
    if (ok() && (cut_ || written_ + records_ >= count_)) reason_ = platform::kErrorFailed;
    if (ok() && entry->data == nullptr) reason_ = platform::kErrorFailed;
    if (ok()) {
        entry->view = static_cast<unsigned char*>(GlobalLock(entry->data));
        if (entry->view == nullptr) reason_ = platform::kErrorNoMemory;
    }
    if (!ok()) {
        if (owned) delete entry;
        return false;
    }
    fmt::EncodeHead(heads_[records_], entry->size, entry->storedSize, entry->name);
    held_[records_] = entry;
    owned_[records_++] = owned;
    heldBytes_ += entry->DataLength();
    return records_ < kHeldRecords && heldBytes_ < kHeldBytes ? true : Flush();
}

bool PackWriter::Flush() {
    if (!ok()) return false;
    platform::WritePiece pieces[2 * kHeldRecords + 1];
    std::size_t count = 0;
    if (headerHeld_) pieces[count++] = {header_, sizeof header_};
    for (std::size_t i = 0; i < records_; ++i) {
        pieces[count++] = {heads_[i], fmt::kRecordHeadSize};
        pieces[count++] = {held_[i]->view, held_[i]->DataLength()};
    }
    if (platform::WritePieces(out_.stream(), pieces, count, &reason_)) {
        for (std::size_t i = 0; i < count; ++i) bytes_ += pieces[i].length;
        headerHeld_ = false;
        written_ += static_cast<std::uint32_t>(records_);
    }
    Release();
    return ok();
}

void PackWriter::Release() {
    for (std::size_t i = 0; i < records_; ++i) {
        GlobalUnlock(held_[i]->data);
        held_[i]->view = nullptr;
        if (owned_[i]) delete held_[i];
    }
    records_ = 0;
    heldBytes_ = 0;
}

bool PackWriter::Commit(Reason* why) {
    if (!cut_ && Flush() && written_ == count_ && out_.Commit(&reason_)) return true;
    return Fail(why, reason_);
}
