// The archive reader over libarchive.
#include "convert/archive_in.h"

#include <archive.h>
#include <archive_entry.h>

#include <new>

using platform::Fail;
using platform::Reason;

namespace {

constexpr std::size_t kBlockSize = std::size_t{64} << 10;  // what libarchive reads at once

ItemKind KindOf(archive_entry* entry) {
    if (archive_entry_hardlink(entry) != nullptr) return ItemKind::kHardLink;
    const auto type = archive_entry_filetype(entry);
    return type == AE_IFREG   ? ItemKind::kFile
           : type == AE_IFDIR ? ItemKind::kFolder
           : type == AE_IFLNK ? ItemKind::kSymlink
                              : ItemKind::kSpecial;
}

// libarchive's input callbacks over a stream, which may seek when it is a regular file.
}  // namespace

struct ArchiveStream {
    std::FILE* file;
    unsigned char block[kBlockSize];
};

namespace {

la_ssize_t ReadBlock(archive*, void* self, const void** bytes) {
    auto* stream = static_cast<ArchiveStream*>(self);
    *bytes = stream->block;
    const std::size_t got = std::fread(stream->block, 1, sizeof stream->block, stream->file);
    return got == 0 && std::ferror(stream->file) != 0 ? -1 : static_cast<la_ssize_t>(got);
}

la_int64_t SeekTo(archive*, void* self, la_int64_t offset, int whence) {
    auto* stream = static_cast<ArchiveStream*>(self);
    if (fseeko(stream->file, offset, whence) != 0) return ARCHIVE_FATAL;
    return ftello(stream->file);
}

la_int64_t SkipOver(archive* a, void* self, la_int64_t length) {
    const la_int64_t at = SeekTo(a, self, 0, SEEK_CUR);
    return at < 0 || SeekTo(a, self, length, SEEK_CUR) < 0 ? 0 : length;
}

}  // namespace

ArchiveReader::~ArchiveReader() {
    Close();
}

bool ArchiveReader::Failed() {
    const char* words = archive_ != nullptr ? archive_error_string(archive_) : nullptr;
    error_ = LibarchiveWords(words, "the archive cannot be read");
    return false;
}

bool ArchiveReader::Started(int status) {
    if (status == ARCHIVE_OK) return true;
    Failed();
    Close();
    return false;
}

bool ArchiveReader::Open(std::FILE* file, bool seekable) {
    Close();
    stream_ = new (std::nothrow) ArchiveStream{file, {}};
    archive_ = stream_ != nullptr ? archive_read_new() : nullptr;
    if (archive_ == nullptr) return Failed();
    archive_read_support_filter_all(archive_);
    archive_read_support_format_all(archive_);
    archive_read_set_read_callback(archive_, ReadBlock);
    if (seekable) {
        archive_read_set_seek_callback(archive_, SeekTo);
        archive_read_set_skip_callback(archive_, SkipOver);
    }
    archive_read_set_callback_data(archive_, stream_);
    return Started(archive_read_open1(archive_));
}

int ArchiveReader::Next(ArchiveItem* item) {
    if (archive_ == nullptr) return -1;
    ++items_;
    archive_entry* entry = nullptr;
    const int status = archive_read_next_header(archive_, &entry);
    if (status == ARCHIVE_EOF) {
        --items_;
        return 0;
    }
    if (status < ARCHIVE_WARN || entry == nullptr) return Failed(), -1;
    const char* path = archive_entry_pathname(entry);
    item->path = path != nullptr ? path : "";
    item->kind = KindOf(entry);
    item->mode = static_cast<unsigned>(archive_entry_perm(entry));
    item->mtimeNs = archive_entry_mtime_is_set(entry) != 0
                        ? std::int64_t{archive_entry_mtime(entry)} * 1000000000 +
                              archive_entry_mtime_nsec(entry)
                        : 0;
    const char* link = item->kind == ItemKind::kHardLink ? archive_entry_hardlink(entry)
                                                         : archive_entry_symlink(entry);
    item->link = link != nullptr ? link : "";
    item->sized = sized_ = archive_entry_size_is_set(entry) != 0;
    const la_int64_t size = archive_entry_size(entry);
    item->size = left_ = size > 0 ? static_cast<std::uint64_t>(size) : 0;
    return 1;
}

std::size_t ArchiveReader::Read(unsigned char* bytes, std::size_t length, Reason* why) {
    if (sized_ && length > left_) length = static_cast<std::size_t>(left_);
    if (length == 0) return 0;
    const la_ssize_t got = archive_read_data(archive_, bytes, length);
    if (got < 0) {
        Failed();
        Fail(why, platform::kErrorDamagedRecord);
        return 0;
    }
    if (got == 0 && sized_) {  // the item ends before the size its head told
        error_ = "the archive ends inside this item";
        Fail(why, platform::kErrorDamagedRecord);
        return 0;
    }
    if (sized_) left_ -= static_cast<std::uint64_t>(got);
    return static_cast<std::size_t>(got);
}

void ArchiveReader::Close() {
    if (archive_ != nullptr) archive_read_free(archive_);
    archive_ = nullptr;
    delete stream_;
    stream_ = nullptr;
}
