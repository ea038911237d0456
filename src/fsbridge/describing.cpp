// The description of a run of items, made before the files are packed.
#include "fsbridge/describing.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "fsbridge/sources.h"

using platform::Fail;
using platform::Reason;

namespace {

// The CRC-32 of the whole file (of a part, its bytes alone), read in blocks of exactly what is
// left (no read past the end, which a small file would pay for with another call), into *keep
// instead when it is given; false with *why when it cannot be read or its length is no longer
// the one listed.
bool FileCrc(const FolderFile& file, std::vector<unsigned char>& block, std::uint32_t* crc,
             std::string* keep, Reason* why) {
    std::FILE* in = OpenChecked(file, why);
    if (in == nullptr) return false;
    // Read straight into the block, with no buffer to size (a part has been read to its offset).
    if (file.offset == 0) std::setvbuf(in, nullptr, _IONBF, 0);
    if (keep != nullptr) keep->resize(static_cast<std::size_t>(file.size));
    auto* into = keep != nullptr ? reinterpret_cast<unsigned char*>(keep->data()) : block.data();
    const std::size_t room = keep != nullptr ? keep->size() : block.size();
    std::uint64_t read = 0;
    *crc = 0;
    Reason failure = 0;
    while (read < file.size) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(room, file.size - read));
        const std::size_t got = platform::ReadBytes(in, into, want, &failure);
        if (got == 0) break;
        *crc = descriptions::Crc32(*crc, into, got);
        read += got;
    }
    std::fclose(in);
    if (failure != 0) return Fail(why, failure);
    return read == file.size || Fail(why, platform::kErrorFileChanged);
}

}  // namespace

std::unique_ptr<PackEntry> DescribeRun(const FolderFile* run, std::size_t count,
                                       std::uint32_t index, bool compress, Compressor engine,
                                       std::string* culprit, Reason* why,
                                       std::vector<std::string>* kept) {
    try {
        std::vector<unsigned char> block;
        std::vector<descriptions::Item> items(count);
        if (kept != nullptr) kept->assign(count, {});
        for (std::size_t i = 0; i < count; ++i) {
            const FolderFile& file = run[i];
            descriptions::Item& item = items[i];
            *culprit = file.Path();
            const bool keep =
                kept != nullptr && file.kind == descriptions::Kind::kFile && file.size <= kKeptMost;
            if (!keep && file.HasEntry() && block.empty()) block.resize(std::size_t{1} << 20);
            item.mode = file.facts.mode;
            item.mtimeNs = file.facts.mtimeNs;
            if ((!file.facts.known &&
                 !platform::FileFacts(file.Path(), &item.mode, &item.mtimeNs, why)) ||
                (file.HasEntry() &&
                 !FileCrc(file, block, &item.crc, keep ? &(*kept)[i] : nullptr, why))) {
                return nullptr;
            }
            item.kind = file.whole != 0 ? descriptions::Kind::kPart : file.kind;
            item.offset = file.offset;
            item.path = file.name;
            item.target = file.target;
            if (!file.HasEntry()) continue;
            item.stored = file.stored.empty() ? file.name : file.stored;
            item.size = static_cast<std::uint32_t>(file.size);  // listed so: it fits
            if (file.kind == descriptions::Kind::kEmpty) {
                item.size = 1;
                item.crc = descriptions::Crc32(0, &kEmptyByte, 1);
            }
        }
        culprit->clear();
        return DescriptionEntry(items, index, compress, engine, why);
    } catch (const std::bad_alloc&) {
        Fail(why, platform::kErrorNoMemory);
        return nullptr;
    }
}

std::unique_ptr<PackEntry> DescriptionEntry(const std::vector<descriptions::Item>& items,
                                            std::uint32_t index, bool compress, Compressor engine,
                                            Reason* why) {
    std::vector<unsigned char> bytes;
    try {
        if (!descriptions::Encode(items, &bytes)) {
            Fail(why, platform::kErrorFailed);
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        Fail(why, platform::kErrorNoMemory);
        return nullptr;
    }
    std::unique_ptr<PackEntry> entry(new (std::nothrow) PackEntry);
    if (entry != nullptr) entry->data = GlobalAlloc(GHND, bytes.size());
    if (entry == nullptr || entry->data == nullptr || entry->Lock() == nullptr) {
        Fail(why, platform::kErrorNoMemory);
        return nullptr;
    }
    std::memcpy(entry->view, bytes.data(), bytes.size());
    entry->size = static_cast<std::uint32_t>(bytes.size());
    const std::string name = descriptions::DescriptionName(index);
    std::memcpy(entry->name, name.c_str(), name.size() + 1);
    GlobalUnlock(entry->data);
    entry->view = nullptr;
    if (compress && !entry->Compress(engine, why)) return nullptr;
    return entry;
}
