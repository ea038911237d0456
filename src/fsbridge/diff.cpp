// diff: each entry's bytes read against its file, then the folder's files no entry names.
#include "fsbridge/diff.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>
#include <vector>

#include "fsbridge/folder.h"
#include "fsbridge/streams.h"
#include "pack/pieces.h"
#include "pack/records.h"

using platform::Fail;
using platform::Reason;

namespace {

// Plain bytes held against a file's, as they come; a read that fails is kept.
class CompareSink final : public PieceSink {
  public:
    explicit CompareSink(std::FILE* file) : file_(file) {}
    bool Write(const unsigned char* bytes, std::size_t length, Reason*) override {
        while (length > 0 && same_) {
            const std::size_t part = length < sizeof buffer_ ? length : sizeof buffer_;
            same_ = std::fread(buffer_, 1, part, file_) == part &&
                    std::memcmp(buffer_, bytes, part) == 0;
            bytes += part;
            length -= part;
        }
        return true;
    }
    bool same() const { return same_; }

  private:
    std::FILE* file_;
    unsigned char buffer_[64 << 10];
    bool same_ = true;
};

}  // namespace

bool StreamDiff(const char* path, const char* folder,
                const std::function<void(const std::string& name, Difference)>& told, bool* differs,
                platform::Failure* failure) {
    *differs = false;
    const auto tell = [&](const std::string& name, Difference what) {
        *differs = true;
        told(name, what);
    };
    PackReader reader;
    Reason why = 0;
    if (!OpenPackInput(&reader, path, &why)) return Fail(failure, why, path);
    {
        FolderReturn probe;  // a folder that is not there fails before any entry is compared
        if (!probe.Enter(folder, &why)) return Fail(failure, why, folder);
    }
    std::unordered_set<std::string> named;
    PackEntry head;
    while (reader.NextHead(&head, &why)) {
        try {
            named.insert(head.name);
        } catch (const std::bad_alloc&) {
            return Fail(failure, platform::kErrorNoMemory, path);
        }
        const std::string file = std::string(folder) + '/' + head.name;
        std::uint64_t length = 0;
        Reason opened = 0;
        std::FILE* in = platform::OpenRegularFile(file.c_str(), &length, &opened);
        if (in == nullptr) {
            if (!platform::IsNotFound(opened)) return Fail(failure, opened, file);
            tell(head.name, Difference::kMissingFile);
            if (!reader.SkipData(head, &why)) break;
            continue;
        }
        if (length != head.size) {
            std::fclose(in);
            tell(head.name, Difference::kSize);
            if (!reader.SkipData(head, &why)) break;
            continue;
        }
        std::unique_ptr<CompareSink> sink(new (std::nothrow) CompareSink(in));
        if (sink == nullptr) {
            std::fclose(in);
            return Fail(failure, platform::kErrorNoMemory, path);
        }
        const bool moved = MovePieces(head, reader, sink.get(), &why);
        std::fclose(in);
        if (!moved) {
            if (reader.damaged()) break;
            return Fail(failure, why, head.name, reader.read());
        }
        if (!sink->same()) tell(head.name, Difference::kBytes);
    }
    if (reader.damaged()) return Fail(failure, why, "", reader.damagedRecord());
    // The folder's files that no entry names.
    FolderReturn back;
    if (!back.Enter(folder, &why)) return Fail(failure, why, folder);
    FolderListing listing;
    std::string culprit;
    if (!ListFolder({true, false, {}}, &listing, &culprit, &why)) {
        return Fail(failure, why, std::string(folder) + '/' + culprit);
    }
    back.Back();
    for (const auto* files : {&listing.files, &listing.refused}) {
        for (const FolderFile& file : *files) {
            if (named.count(file.name) == 0) tell(file.name, Difference::kMissingEntry);
        }
    }
    return true;
}
