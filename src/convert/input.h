// What convert reads: a named file or standard input, its first bytes looked at to tell a pack
// from an archive, then read from its start whatever it is.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/reason.h"

class ConvertInput {
  public:
    ConvertInput() = default;
    ~ConvertInput();
    ConvertInput(const ConvertInput&) = delete;
    ConvertInput& operator=(const ConvertInput&) = delete;

    // Opens the file at path ("-": standard input, not a terminal) and looks at its first bytes.
    bool Open(const std::string& path, platform::Reason* why);
    // Whether it begins as a pack file does.
    bool pack() const { return pack_; }
    // The stream from its first byte, and its length (platform::kUnknownLength for a pipe).
    std::FILE* stream() const { return stream_; }
    std::uint64_t length() const { return length_; }
    // Whether it can be read again from its start (Rewind).
    bool again() const { return seekable_; }
    // Goes back to its first byte; false when it cannot.
    bool Rewind();
    // Makes it one that can be read again: a pipe is copied into a scratch file first.
    bool Keep(platform::Reason* why);

  private:
    std::FILE* file_ = nullptr;    // what was opened
    std::FILE* stream_ = nullptr;  // what is read: file_, or its first bytes given back before it
    bool owned_ = false;           // file_ is closed here
    bool seekable_ = false;
    bool pack_ = false;
    std::uint64_t length_ = 0;
    unsigned char first_[4] = {};
    std::size_t firstLength_ = 0;
    std::size_t firstRead_ = 0;  // of first_, given back so far

    static ssize_t ReadBack(void* self, char* bytes, std::size_t length);
};
