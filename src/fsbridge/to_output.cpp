// unpack -O: each entry taken decoded straight from the pack file to standard output.
#include "fsbridge/to_output.h"

#include <cstdio>
#include <string>

#include "fsbridge/streams.h"
#include "pack/pieces.h"
#include "pack/records.h"
#include "platform/atomic_file.h"

using platform::Fail;
using platform::Reason;

namespace {

// Plain bytes to standard output (in binary mode) as they come; a failed write is kept.
class OutputSink final : public PieceSink {
  public:
    explicit OutputSink(std::FILE* file) : file_(file) {}
    bool Write(const unsigned char* bytes, std::size_t length, Reason* why) override {
        const platform::WritePiece piece{bytes, length};
        failed_ = !platform::WritePieces(file_, &piece, 1, why);
        return !failed_;
    }
    bool failed() const { return failed_; }

  private:
    std::FILE* file_;
    bool failed_ = false;
};

}  // namespace

bool StreamToOutput(const char* path, NameSelection* selection, platform::Failure* failure) {
    PackReader reader;
    Reason why = 0;
    if (!OpenPackInput(&reader, path, &why)) return Fail(failure, why, path);
    platform::AtomicFile output{platform::StandardOutput{}};
    if (output.stream() == nullptr) return Fail(failure, output.reason(), kOutput);
    OutputSink out(output.stream());
    PackEntry head;
    while (reader.NextHead(&head, &why)) {
        if (!selection->Take(head.name)) {
            if (!reader.SkipData(head, &why)) break;
            continue;
        }
        if (!MovePieces(head, reader, &out, &why)) {
            if (out.failed()) return Fail(failure, why, kOutput);
            if (reader.damaged()) break;
            return Fail(failure, why, head.name, reader.read());
        }
    }
    if (reader.damaged()) return Fail(failure, why, "", reader.damagedRecord());
    if (const std::string* missing = selection->Unmet(); missing != nullptr) {
        return Fail(failure, platform::kErrorNoSuchEntry, std::string(path) + ": " + *missing);
    }
    return output.Commit(&why) || Fail(failure, why, kOutput);
}
