// Pack::Load and Pack::Save: the whole pack to and from a file, through the record codec.
#include <new>

#include "pack/pack.h"
#include "pack/pack_format.h"
#include "pack/progress.h"
#include "pack/records.h"
#include "pack/whole_pack.h"

bool Pack::Load(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    Clear();
    std::uint64_t length = 0;
    std::FILE* file = platform::OpenRegularFile(path, &length);
    if (file == nullptr) return false;
    const bool loaded = LoadStream(file, length);
    std::fclose(file);
    return loaded;
}

bool Pack::LoadStream(std::FILE* file, std::uint64_t length) {
    Clear();
    PackReader reader;
    // An empty pack file is well formed, but holds nothing to load: the load fails.
    if (file == nullptr || !reader.Open(file, length, nullptr) || reader.header().count == 0) {
        return false;
    }
    compressed = reader.header().flag;
    SharedProgress().Start(reader.header().count, length);
    PackEntry* tail = nullptr;
    while (count < reader.header().count) {
        auto* entry = new (std::nothrow) PackEntry;
        if (entry == nullptr) break;
        if (!reader.Next(entry, nullptr)) {
            delete entry;
            break;
        }
        SharedProgress().Advance(pack_format::kRecordHeadSize + entry->DataLength());
        (tail == nullptr ? head : tail->next) = entry;
        tail = entry;
        ++count;
    }
    if (count == reader.header().count) return true;
    Clear();
    return false;
}

bool Pack::Save(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    // The file carries one flag for every record, so each entry must be in the pack's form.
    if (!BringIntoForm(this)) return false;

    PackWriter writer(path, compressed, count);
    std::uint64_t bytes = 0;
    for (PackEntry* entry = head; entry != nullptr; entry = entry->next) {
        bytes += entry->DataLength();
    }
    SharedProgress().Start(count, bytes);
    for (PackEntry* entry = head; entry != nullptr; entry = entry->next) {
        if (!writer.Write(entry)) return false;
        SharedProgress().Advance(entry->DataLength());
    }
    return writer.Commit(nullptr);
}
