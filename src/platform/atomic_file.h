// A file written beside its target and put in the target's place only when complete.
#pragma once

#include <cstdio>
#include <string>

namespace platform {

class AtomicFile {
  public:
    // Creates the temporary file beside target; stream() is null when that failed. The stream
    // is unbuffered: every write goes to the file as it is made.
    explicit AtomicFile(const char* target);
    // Abandons an uncommitted file: closes and removes it, leaving the target as it was.
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    std::FILE* stream() const { return file_; }

    // Flushes and closes the file and, when every write succeeded, renames it over the
    // target. False leaves the target untouched and no temporary file.
    bool Commit();

  private:
    std::string target_;
    std::string temp_;
    std::FILE* file_ = nullptr;
};

}  // namespace platform
