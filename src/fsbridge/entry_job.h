// What a window's job of the file-system bridge holds: the entry it works on and its source's
// marks on it, as the job's opaque state.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "pack/descriptions.h"
#include "pack/pack.h"
#include "pack/pieces.h"
#include "pack/window.h"

struct EntryJob final : JobState {
    PackEntry* entry = nullptr;        // the entry it works on: the source's, or `owned`
    std::unique_ptr<PackEntry> owned;  // an entry the job holds itself
    bool late = false;                 // its file is written as it finishes (Unpacker)
    bool done = false;                 // its Work was done as it was taken
    bool kept = false;                 // an existing file stayed in its entry's place (Unpacker)
    std::uint64_t at = 0;              // where its data lies in the pack file
    std::unique_ptr<Spill> spill;      // stored bytes made ahead of their turn (FileSource)
    std::uint32_t record = 0;          // its place in the pack, from 0
    std::uint32_t size = 0;            // its entry's size and name, kept as the entry goes
    char name[PackEntry::kNameSize] = {};
    bool checked = false;  // its plain bytes must have the CRC-32 `crc` (a description's)
    std::uint32_t crc = 0;
    descriptions::Item item;       // when checked: the item describing it (path, kind, mode, time)
    bool description = false;      // it is a description, applied as it was taken
    std::string path;              // where its file is written (Unpacker): described or stored
    platform::Reason refused = 0;  // why its file was refused, the rest still unpacked
};

// The job's state, made by Hold.
inline EntryJob& Held(Job& job) {
    return static_cast<EntryJob&>(*job.state);
}
inline const EntryJob& Held(const Job& job) {
    return static_cast<const EntryJob&>(*job.state);
}

// Gives the job a state holding `entry`, or a new entry of its own when null; false without
// memory.
inline bool Hold(Job& job, PackEntry* entry = nullptr) {
    auto* held = new (std::nothrow) EntryJob;
    job.state.reset(held);
    if (held != nullptr && entry == nullptr)
        held->owned.reset(entry = new (std::nothrow) PackEntry);
    if (held == nullptr || entry == nullptr)
        return platform::Fail(&job.why, platform::kErrorNoMemory);
    held->entry = entry;
    return true;
}
