// The chain of entries: reset, lock, append, remove and lookup.
#include <cstring>

#include "pack/pack.h"

namespace {

// Names are equal byte for byte up to and including the first NUL; an entry's name always
// holds a NUL within its field.
bool SameName(const PackEntry& entry, const char* name) {
    return std::strncmp(entry.name, name, sizeof entry.name) == 0;
}

}  // namespace

PackEntry::~PackEntry() {
    Reset();
}

void PackEntry::Reset() {
    if (view != nullptr) {
        GlobalUnlock(data);
        view = nullptr;
    }
    if (data != nullptr) data = GlobalFree(data);
    // Free the chain behind one entry at a time, so its length never reaches the stack.
    PackEntry* rest = next;
    next = nullptr;
    while (rest != nullptr) {
        PackEntry* after = rest->next;
        rest->next = nullptr;
        delete rest;
        rest = after;
    }
    std::memset(name, 0, sizeof name);
    size = 0;
    storedSize = 0;
}

bool PackEntry::NameFits(const char* name) {
    return std::strlen(name) < kNameSize;
}

unsigned char* PackEntry::Lock() {
    if (data == nullptr) {
        view = nullptr;
        return nullptr;
    }
    if (view == nullptr) view = static_cast<unsigned char*>(GlobalLock(data));
    return view;
}

void Pack::Clear() {
    delete head;  // the first entry frees the chain behind it
    head = nullptr;
    last_ = nullptr;
    compressed = 0;
    count = 0;
}

void Pack::Append(PackEntry* entry) {
    PackEntry* at = last_ != nullptr ? last_ : head;
    if (at == nullptr) {
        head = entry;
    } else {
        while (at->next != nullptr) at = at->next;
        at->next = entry;
    }
    last_ = entry;
    ++count;
}

void Pack::Unlink(PackEntry* prev, PackEntry* entry) {
    PackEntry* after = entry->next;
    entry->next = nullptr;
    if (entry == last_) last_ = prev;
    delete entry;
    if (prev != nullptr) {
        prev->next = after;
    } else {
        head = after;
    }
    --count;
}

bool Pack::RemoveByName(const char* name) {
    if (name == nullptr || *name == '\0') return false;
    PackEntry* prev = nullptr;
    for (PackEntry* entry = head; entry != nullptr; prev = entry, entry = entry->next) {
        if (SameName(*entry, name)) {
            Unlink(prev, entry);
            return true;
        }
    }
    return false;
}

bool Pack::RemoveByIndex(std::uint32_t index) {
    if (index >= count) return false;
    PackEntry* prev = nullptr;
    PackEntry* entry = head;
    for (std::uint32_t at = 0; entry != nullptr; ++at, prev = entry, entry = entry->next) {
        if (at == index) {
            Unlink(prev, entry);
            return true;
        }
    }
    return false;
}

PackEntry* Pack::EntryAt(std::uint32_t index) const {
    if (index >= count) return nullptr;
    PackEntry* entry = head;
    for (std::uint32_t at = 0; entry != nullptr && at < index; ++at) entry = entry->next;
    return entry;
}

PackEntry* Pack::FindByName(const char* name) const {
    if (name == nullptr) return nullptr;
    for (PackEntry* entry = head; entry != nullptr; entry = entry->next) {
        if (SameName(*entry, name)) return entry;
    }
    return nullptr;
}
