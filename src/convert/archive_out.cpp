// The archive writer over libarchive, and the names of the forms it writes.
#include "convert/archive_out.h"

#include <archive.h>
#include <archive_entry.h>

#include <cstring>
#include <memory>
#include <new>

using platform::Reason;

namespace {

struct FormName {
    const char* name;  // its --format name, and the ending of a file's name (with a dot)
    ArchiveForm form;
};
// Each form by its names.
constexpr FormName kForms[] = {
    {"pack", ArchiveForm::kPack},      {"pak", ArchiveForm::kPack},
    {"tar.gz", ArchiveForm::kTarGz},   {"tgz", ArchiveForm::kTarGz},
    {"tar.xz", ArchiveForm::kTarXz},   {"txz", ArchiveForm::kTarXz},
    {"tar.zst", ArchiveForm::kTarZst}, {"tzst", ArchiveForm::kTarZst},
    {"tar.bz2", ArchiveForm::kTarBz2}, {"tbz2", ArchiveForm::kTarBz2},
    {"tar", ArchiveForm::kTar},        {"zip", ArchiveForm::kZip},
    {"7z", ArchiveForm::kSevenZip},    {"cpio", ArchiveForm::kCpio},
};

// Sets the archive's format and compression for the form; false when libarchive cannot.
bool Choose(archive* a, ArchiveForm form) {
    const int filter = form == ArchiveForm::kTarGz    ? archive_write_add_filter_gzip(a)
                       : form == ArchiveForm::kTarXz  ? archive_write_add_filter_xz(a)
                       : form == ArchiveForm::kTarZst ? archive_write_add_filter_zstd(a)
                       : form == ArchiveForm::kTarBz2 ? archive_write_add_filter_bzip2(a)
                                                      : ARCHIVE_OK;
    // Else pax: every time to the nanosecond, paths and sizes of any length.
    const int format = form == ArchiveForm::kZip        ? archive_write_set_format_zip(a)
                       : form == ArchiveForm::kSevenZip ? archive_write_set_format_7zip(a)
                       : form == ArchiveForm::kCpio     ? archive_write_set_format_cpio_newc(a)
                                                        : archive_write_set_format_pax(a);
    return format == ARCHIVE_OK && filter >= ARCHIVE_WARN;
}

}  // namespace

// libarchive's output callbacks, into the file that takes the target's place.
struct ArchiveOutput {
    static la_ssize_t Write(archive*, void* self, const void* bytes, std::size_t length) {
        auto* writer = static_cast<ArchiveWriter*>(self);
        platform::WritePiece piece{static_cast<const unsigned char*>(bytes), length};
        if (platform::WritePieces(writer->out_.stream(), &piece, 1, &writer->reason_)) {
            return static_cast<la_ssize_t>(length);
        }
        return -1;
    }
};

ArchiveForm FormNamed(const std::string& name) {
    for (const FormName& each : kForms) {
        if (name == each.name) return each.form;
    }
    return ArchiveForm::kNone;
}

ArchiveForm FormOfPath(const std::string& path) {
    for (const FormName& each : kForms) {
        const std::string ending = std::string(".") + each.name;
        if (path.size() > ending.size() &&
            path.compare(path.size() - ending.size(), ending.size(), ending) == 0) {
            return each.form;
        }
    }
    return ArchiveForm::kNone;
}

ArchiveWriter::ArchiveWriter(const std::string& path, ArchiveForm form)
    : out_(path == "-" ? platform::AtomicFile(platform::StandardOutput{})
                       : platform::AtomicFile(path.c_str())) {
    if (out_.stream() == nullptr) {
        reason_ = out_.reason() != 0 ? out_.reason() : platform::kErrorFailed;
        return;
    }
    archive_ = archive_write_new();
    // Output in blocks of any length: the last is not padded out, whatever the output is.
    ok_ = archive_ != nullptr && archive_write_set_bytes_in_last_block(archive_, 1) == ARCHIVE_OK &&
          Choose(archive_, form) &&
          archive_write_open2(archive_, this, nullptr, ArchiveOutput::Write, nullptr, nullptr) ==
              ARCHIVE_OK;
    if (!ok_) Failed();
}

ArchiveWriter::~ArchiveWriter() {
    if (archive_ != nullptr) archive_write_free(archive_);  // an unfinished file is abandoned
}

bool ArchiveWriter::Failed() {
    const char* words = archive_ != nullptr ? archive_error_string(archive_) : nullptr;
    if (reason_ == 0) error_ = LibarchiveWords(words, "the archive cannot be written");
    ok_ = false;
    return false;
}

bool ArchiveWriter::Head(const ArchiveItem& item) {
    if (!ok_) return false;
    std::unique_ptr<archive_entry, void (*)(archive_entry*)> entry(archive_entry_new(),
                                                                   archive_entry_free);
    if (entry == nullptr) return Failed();
    archive_entry_set_pathname(entry.get(), item.path.c_str());
    archive_entry_set_perm(entry.get(), item.mode);
    // Seconds rounded down, so that a time before 1970 keeps nanoseconds of 0 to 999999999.
    const std::int64_t ns = (item.mtimeNs % 1000000000 + 1000000000) % 1000000000;
    archive_entry_set_mtime(entry.get(), (item.mtimeNs - ns) / 1000000000, static_cast<long>(ns));
    const ItemKind kind = item.kind;
    archive_entry_set_filetype(entry.get(), kind == ItemKind::kFolder    ? AE_IFDIR
                                            : kind == ItemKind::kSymlink ? AE_IFLNK
                                                                         : AE_IFREG);
    if (kind == ItemKind::kSymlink) archive_entry_set_symlink(entry.get(), item.link.c_str());
    if (kind == ItemKind::kHardLink) archive_entry_set_hardlink(entry.get(), item.link.c_str());
    const bool file = kind == ItemKind::kFile;
    archive_entry_set_size(entry.get(), file ? static_cast<la_int64_t>(item.size) : 0);
    return archive_write_header(archive_, entry.get()) >= ARCHIVE_WARN || Failed();
}

bool ArchiveWriter::Write(const unsigned char* bytes, std::size_t length, Reason* why) {
    if (ok_ && archive_write_data(archive_, bytes, length) >= 0) return true;
    if (ok_) Failed();
    return platform::Fail(why, reason_ != 0 ? reason_ : platform::kErrorFailed);
}

bool ArchiveWriter::Write(const ArchiveItem& item, PieceSource* data) {
    if (!Head(item)) return false;
    if (item.kind != ItemKind::kFile || data == nullptr) return true;
    std::unique_ptr<unsigned char[]> piece(new (std::nothrow) unsigned char[kPlainPiece]);
    if (piece == nullptr) return reason_ = platform::kErrorNoMemory, Failed();
    std::uint64_t left = item.size;
    Reason why = 0;
    for (std::size_t got; left != 0 && (got = data->Read(piece.get(), kPlainPiece, &why)) != 0;) {
        if (got > left) got = static_cast<std::size_t>(left);
        if (!Write(piece.get(), got, &why)) return false;
        left -= got;
    }
    if (why != 0 || left != 0) {
        reason_ = why != 0 ? why : platform::kErrorDamagedRecord;
        ok_ = false;
        return false;
    }
    return true;
}

bool ArchiveWriter::Commit() {
    if (!ok_) return false;
    if (archive_write_close(archive_) != ARCHIVE_OK) return Failed();
    if (!out_.Commit(&reason_)) return ok_ = false;
    return true;
}
