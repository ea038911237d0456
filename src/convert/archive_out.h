// The archives of other programs written through libarchive, one item at a time, into a file
// that appears whole or not at all (or straight into a pipe or standard output).
#pragma once

#include <string>

#include "convert/archive_in.h"
#include "platform/atomic_file.h"

// The forms an archive may be written in, by their names (also the endings of a file's name).
enum class ArchiveForm : std::uint8_t {
    kNone,
    kPack,
    kTar,
    kTarGz,
    kTarXz,
    kTarZst,
    kTarBz2,
    kZip,
    kSevenZip,
    kCpio
};

// The form a --format name asks for (kNone for no such form).
ArchiveForm FormNamed(const std::string& name);
// The form a file's name ends in (kNone when it tells none).
ArchiveForm FormOfPath(const std::string& path);

// As the PieceSink it is, it takes the bytes of the file whose head was written last.
class ArchiveWriter final : public PieceSink {
  public:
    // Starts the archive at path (kStandardStream, "-": standard output). ok() is false, with the
    // reason or libarchive's words, when it cannot be made.
    ArchiveWriter(const std::string& path, ArchiveForm form);
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;
    bool ok() const { return ok_; }
    platform::Reason reason() const { return reason_; }
    const std::string& error() const { return error_; }

    // Writes one item's head; a file's bytes follow through the PieceSink. False leaves the
    // archive unfinished: nothing more is written and Commit fails.
    bool Head(const ArchiveItem& item);
    bool Write(const unsigned char* bytes, std::size_t length, platform::Reason* why) override;
    // Writes one item: its head, then (for a file) exactly item.size bytes read from data.
    bool Write(const ArchiveItem& item, PieceSource* data);
    // Ends the archive and puts it in place of the target.
    bool Commit();

  private:
    friend struct ArchiveOutput;
    bool Failed();

    platform::AtomicFile out_;
    struct archive* archive_ = nullptr;
    platform::Reason reason_ = 0;
    std::string error_;
    bool ok_ = false;
};
