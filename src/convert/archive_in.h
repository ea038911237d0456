// The archives of other programs read through libarchive, one item at a time: each item's head,
// then its bytes as a stream of pieces.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "pack/pieces.h"

struct archive;
struct ArchiveStream;

// What an item of an archive is.
enum class ItemKind : std::uint8_t { kFile, kFolder, kSymlink, kHardLink, kSpecial };

// Whether libarchive could be opened (on the first call of its functions).
bool LibarchiveLoaded();
// libarchive's words for a failure; when it has none, why it could not be opened, or otherwise.
inline const char* LibarchiveWords(const char* words, const char* otherwise) {
    if (words != nullptr) return words;
    return LibarchiveLoaded() ? otherwise
                              : "libarchive.so.13 cannot be opened (apt-get install libarchive13)";
}

// One item's head, as the archive tells it.
struct ArchiveItem {
    std::string path;  // as the archive names it, not yet cleaned
    ItemKind kind = ItemKind::kFile;
    unsigned mode = 0644;      // permission bits
    std::int64_t mtimeNs = 0;  // seconds and nanoseconds since 1970, as nanoseconds
    std::string link;          // a link's target
    bool sized = false;        // the archive tells the item's size
    std::uint64_t size = 0;
};

// Reads an archive of any form libarchive knows, its compression found by its bytes. As the
// PieceSource it is, it reads the bytes of the item whose head was read last, and no more than
// its size tells (when told).
class ArchiveReader final : public PieceSource {
  public:
    ArchiveReader() = default;
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // Starts reading an open stream from its position (left open), gone back and forth in when
    // seekable (as 7z and zip are best read). False with libarchive's words in error().
    bool Open(std::FILE* file, bool seekable);
    // The next item's head: 1, 0 after the last, -1 for an archive damaged or cut short (its
    // words in error(); items() counts the item that failed).
    int Next(ArchiveItem* item);
    std::size_t Read(unsigned char* bytes, std::size_t length, platform::Reason* why) override;
    // The items whose head was asked for, the one that failed among them.
    std::uint32_t items() const { return items_; }
    // libarchive's own words for the last failure.
    const std::string& error() const { return error_; }
    void Close();

  private:
    bool Started(int status);
    bool Failed();

    archive* archive_ = nullptr;
    ArchiveStream* stream_ = nullptr;  // owned
    std::string error_;
    std::uint32_t items_ = 0;
    bool sized_ = false;
    std::uint64_t left_ = 0;  // the bytes of a sized item not yet read
};
