// The header and record codec, the record-by-record reader and the gathering writer.
#include "pack/records.h"

#include <cstring>

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
    unsigned char bytes[fmt::kHeaderSize];
    if (length < sizeof bytes || !Read(bytes, sizeof bytes, platform::kErrorNotPackFile, why)) {
        return Fail(why, platform::kErrorNotPackFile);
    }
    left_ = length - sizeof bytes;
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

bool PackReader::Read(void* bytes, std::size_t length, Reason damage, Reason* why) {
    Reason failure = 0;
    if (platform::ReadBytes(file_, bytes, length, &failure) == length) return true;
    damaged_ = true;
    return Fail(why, failure != 0 ? failure : damage);
}

bool PackReader::NextHead(PackEntry* entry, Reason* why) {
    if (file_ == nullptr || read_ == header_.count || damaged_) return false;
    entry->Reset();
    entry->compressed = header_.flag;
    unsigned char head[fmt::kRecordHeadSize];
    damaged_ = left_ < sizeof head;
    if (damaged_) return Fail(why, platform::kErrorDamagedRecord);
    if (!Read(head, sizeof head, platform::kErrorDamagedRecord, why)) return false;
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
    left_ -= sizeof head + length;
    return true;
}

bool PackReader::ReadData(PackEntry* entry, Reason* why) {
    const std::uint32_t length = entry->DataLength();
    entry->data = GlobalAlloc(GHND, length);
    entry->view = static_cast<unsigned char*>(GlobalLock(entry->data));
    if (entry->view == nullptr || !Read(entry->view, length, platform::kErrorDamagedRecord, why)) {
        if (entry->view == nullptr) Fail(why, platform::kErrorNoMemory);
        entry->Reset();
        return false;
    }
    GlobalUnlock(entry->data);
    entry->view = nullptr;
    return true;
}

bool PackReader::SkipData(const PackEntry& entry, Reason* why) {
    // The head was checked against the bytes left, so the seek stays inside the file.
    if (platform::SkipBytes(file_, entry.DataLength(), why)) return true;
    damaged_ = true;
    return false;
}

PackWriter::PackWriter(const char* path, std::uint8_t flag, std::uint32_t count)
    : out_(path), count_(count), reason_(out_.reason()) {
    if (out_.stream() == nullptr && reason_ == 0) reason_ = platform::kErrorFailed;
    fmt::EncodeHeader(header_, flag, count);
}

bool PackWriter::Write(PackEntry* entry) {
    return Hold(entry, false);
}

bool PackWriter::Write(std::unique_ptr<PackEntry> entry) {
    return Hold(entry.release(), true);
}

bool PackWriter::Hold(PackEntry* entry, bool owned) {
    if (ok() && written_ + records_ >= count_) reason_ = platform::kErrorFailed;
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
    if (Flush() && written_ == count_ && out_.Commit(&reason_)) return true;
    return Fail(why, reason_);
}
