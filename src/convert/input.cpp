// The input of convert: the look at its first bytes, and the bytes given back on a pipe.
#include "convert/input.h"

#include <cstring>

#include "pack/pack_format.h"
#include "platform/platform.h"

using platform::Fail;
using platform::Reason;

ConvertInput::~ConvertInput() {
    if (stream_ != nullptr && stream_ != file_) std::fclose(stream_);
    if (owned_ && file_ != nullptr) std::fclose(file_);
}

bool ConvertInput::Open(const std::string& path, Reason* why) {
    if (path == "-") {
        file_ = platform::OpenStandardInput(&length_, why);
    } else {
        file_ = platform::OpenRegularFile(path.c_str(), &length_, why);
        owned_ = file_ != nullptr;
    }
    if (file_ == nullptr) return false;
    seekable_ = length_ != platform::kUnknownLength;
    firstLength_ = platform::ReadBytes(file_, first_, sizeof first_, why);
    if (*why != 0) return false;
    pack_ = firstLength_ == sizeof first_ &&
            std::memcmp(first_, pack_format::kMagic, pack_format::kMagicSize) == 0;
    if (seekable_) return Rewind() || Fail(why, platform::kErrorFailed);
    // A pipe: its first bytes are given back before the rest of it.
    cookie_io_functions_t calls = {ReadBack, nullptr, nullptr, nullptr};
    stream_ = fopencookie(this, "rb", calls);
    return stream_ != nullptr || Fail(why, platform::kErrorNoMemory);
}

ssize_t ConvertInput::ReadBack(void* self, char* bytes, std::size_t length) {
    auto* input = static_cast<ConvertInput*>(self);
    if (input->firstRead_ < input->firstLength_) {
        std::size_t given = input->firstLength_ - input->firstRead_;
        if (given > length) given = length;
        std::memcpy(bytes, input->first_ + input->firstRead_, given);
        input->firstRead_ += given;
        return static_cast<ssize_t>(given);
    }
    Reason why = 0;
    const std::size_t got = platform::ReadBytes(input->file_, bytes, length, &why);
    return why != 0 ? -1 : static_cast<ssize_t>(got);
}

bool ConvertInput::Rewind() {
    if (!seekable_) return false;
    stream_ = file_;
    return std::fseek(file_, 0, SEEK_SET) == 0;
}

bool ConvertInput::Keep(Reason* why) {
    if (seekable_) return true;
    std::FILE* scratch = platform::OpenScratchFile(why);
    if (scratch == nullptr) return false;
    unsigned char piece[64 << 10];
    Reason failure = 0;
    for (std::size_t got; (got = std::fread(piece, 1, sizeof piece, stream_)) != 0;) {
        platform::WritePiece write{piece, got};
        if (!platform::WritePieces(scratch, &write, 1, &failure)) break;
    }
    if (failure == 0 && std::ferror(stream_) != 0) failure = platform::kErrorFailed;
    std::fclose(stream_);
    if (owned_) std::fclose(file_);
    file_ = scratch;
    owned_ = true;
    seekable_ = true;
    length_ = 0;
    if (failure != 0) return Fail(why, failure);
    return Rewind() || Fail(why, platform::kErrorFailed);
}
