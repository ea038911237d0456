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

// The CRC-32 of the whole file, read in blocks of exactly what is left (no read past the end,
// which a small file would pay for with another call); false with *why when it cannot be read
// or its length is no longer the one listed.
bool FileCrc(const FolderFile& file, std::vector<unsigned char>& block, std::uint32_t* crc,
             Reason* why) {
    std::FILE* in = OpenChecked(file, why);
    if (in == nullptr) return false;
    std::setvbuf(in, nullptr, _IONBF, 0);  // read straight into the block: no buffer to size
    std::uint64_t read = 0;
    *crc = 0;
    Reason failure = 0;
    while (read < file.size) {
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), file.size - read));
        const std::size_t got = platform::ReadBytes(in, block.data(), want, &failure);
        if (got == 0) break;
        *crc = descriptions::Crc32(*crc, block.data(), got);
        read += got;
    }
    std::fclose(in);
    if (failure != 0) return Fail(why, failure);
    return read == file.size || Fail(why, platform::kErrorFileChanged);
}

}  // namespace

std::unique_ptr<PackEntry> DescribeRun(const FolderFile* run, std::size_t count,
                                       std::uint32_t index, bool compress, Compressor engine,
                                       std::string* culprit, Reason* why) {
    std::vector<unsigned char> bytes;
    try {
        std::vector<unsigned char> block(std::size_t{1} << 20);
        std::vector<descriptions::Item> items(count);
        for (std::size_t i = 0; i < count; ++i) {
            const FolderFile& file = run[i];
            descriptions::Item& item = items[i];
            *culprit = file.Path();
            if (!platform::FileFacts(file.Path(), &item.mode, &item.mtimeNs, why) ||
                (file.HasEntry() && !FileCrc(file, block, &item.crc, why))) {
                return nullptr;
            }
            item.kind = file.kind;
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
