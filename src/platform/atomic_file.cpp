// Whole-or-nothing file replacement through a temporary file and a rename.
#include "platform/atomic_file.h"

#include <new>

#include "platform/platform.h"

namespace platform {

AtomicFile::AtomicFile(const char* target) {
    if (target == nullptr || *target == '\0') return;
    try {
        target_ = target;
    } catch (const std::bad_alloc&) {
        return;  // no memory for the name: no file either
    }
    file_ = CreateTempBeside(target, &temp_);
    // Writers hand over whole blocks: each goes to the file in one call, not through a buffer.
    if (file_ != nullptr) std::setvbuf(file_, nullptr, _IONBF, 0);
}

AtomicFile::~AtomicFile() {
    if (file_ == nullptr) return;
    std::fclose(file_);
    RemoveFile(temp_.c_str());
}

bool AtomicFile::Commit() {
    if (file_ == nullptr) return false;
    const bool written = std::fflush(file_) == 0 && std::ferror(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (written && closed && ReplaceFile(temp_.c_str(), target_.c_str())) return true;
    RemoveFile(temp_.c_str());
    return false;
}

}  // namespace platform
