// The description codec: encoding, decoding with its self-check, and matching to entries.
#include "pack/descriptions.h"

#ifdef ZOREL_NO_LIBDEFLATE
#include <zlib.h>
#else
#include <libdeflate.h>  // its CRC-32 folds with carry-less multiplies, several times zlib's speed
#endif

#include <cstring>

#include "pack/pack_format.h"

namespace descriptions {

namespace {

constexpr std::size_t kHeadSize = 8;  // magic, version, reserved, count
constexpr std::size_t kCrcSize = 4;

void PutU16(std::vector<unsigned char>* out, std::size_t value) {
    out->push_back(static_cast<unsigned char>(value));
    out->push_back(static_cast<unsigned char>(value >> 8));
}

void PutU32(std::vector<unsigned char>* out, std::uint32_t value) {
    unsigned char bytes[4];
    pack_format::PutU32(bytes, value);
    out->insert(out->end(), bytes, bytes + 4);
}

void PutU64(std::vector<unsigned char>* out, std::uint64_t value) {
    PutU32(out, static_cast<std::uint32_t>(value));
    PutU32(out, static_cast<std::uint32_t>(value >> 32));
}

void PutText(std::vector<unsigned char>* out, const std::string& text, bool wide) {
    if (wide) {
        PutU16(out, text.size());
    } else {
        out->push_back(static_cast<unsigned char>(text.size()));
    }
    out->insert(out->end(), text.begin(), text.end());
}

// Reads fields front to back; any read past the end makes ok false.
struct Cursor {
    const unsigned char* at;
    std::size_t left;
    bool ok = true;

    const unsigned char* Take(std::size_t length) {
        if (!ok || length > left) {
            ok = false;
            return nullptr;
        }
        const unsigned char* here = at;
        at += length;
        left -= length;
        return here;
    }
    std::uint32_t U8() {
        const unsigned char* p = Take(1);
        return p != nullptr ? p[0] : 0;
    }
    std::uint32_t U16() {
        const unsigned char* p = Take(2);
        return p != nullptr ? static_cast<std::uint32_t>(p[0] | p[1] << 8) : 0;
    }
    std::uint32_t U32() {
        const unsigned char* p = Take(4);
        return p != nullptr ? pack_format::GetU32(p) : 0;
    }
    std::uint64_t U64() {
        std::uint64_t low = U32();
        return low | static_cast<std::uint64_t>(U32()) << 32;
    }
    std::string Text(std::size_t length) {
        const unsigned char* p = Take(length);
        return p != nullptr ? std::string(reinterpret_cast<const char*>(p), length) : std::string();
    }
};

bool KnownKind(std::uint32_t kind) {
    return kind <= static_cast<std::uint32_t>(Kind::kPart);
}

bool WellFormed(const Item& item) {
    bool held = HasEntry(item.kind);
    if (held != !item.stored.empty()) return false;
    if (item.stored.size() > kMaxStoredName) return false;
    if (item.stored.find('\0') != std::string::npos) return false;
    if (item.path.empty() || item.path.size() > kMaxPath) return false;
    if (item.target.size() > kMaxPath) return false;
    if (item.mode > 07777) return false;
    return item.kind == Kind::kPart || item.offset == 0;
}

}  // namespace

bool HasEntry(Kind kind) {
    return kind == Kind::kFile || kind == Kind::kEmpty || kind == Kind::kPart;
}

std::uint32_t Crc32(std::uint32_t crc, const unsigned char* bytes, std::size_t length) {
#ifdef ZOREL_NO_LIBDEFLATE
    return static_cast<std::uint32_t>(crc32_z(crc, bytes, length));
#else
    return libdeflate_crc32(crc, bytes, length);
#endif
}

std::string DescriptionName(std::uint32_t index) {
    return kDescriptionPrefix + std::to_string(index);
}

std::string StandInName(std::uint32_t index) {
    return kStandInPrefix + std::to_string(index);
}

bool IsDescriptionName(const char* name) {
    return std::strncmp(name, kDescriptionPrefix, sizeof kDescriptionPrefix - 1) == 0;
}

bool Encode(const std::vector<Item>& items, std::vector<unsigned char>* out) {
    if (items.empty() || items.size() > kMaxItems) return false;
    for (const Item& item : items) {
        if (!WellFormed(item)) return false;
    }
    std::vector<unsigned char> bytes(kMagic, kMagic + sizeof kMagic);
    bytes.push_back(kVersion);
    bytes.push_back(0); /* reserved */
    PutU16(&bytes, items.size());
    for (const Item& item : items) {
        bytes.push_back(static_cast<unsigned char>(item.kind));
        PutText(&bytes, item.stored, false);
        PutU32(&bytes, item.size);
        PutU32(&bytes, item.crc);
        PutU32(&bytes, item.mode);
        PutU64(&bytes, static_cast<std::uint64_t>(item.mtimeNs));
        PutText(&bytes, item.path, true);
        PutText(&bytes, item.target, true);
        PutU64(&bytes, item.offset);
    }
    PutU32(&bytes, Crc32(0, bytes.data(), bytes.size()));
    *out = std::move(bytes);
    return true;
}

bool Decode(const unsigned char* bytes, std::size_t length, std::vector<Item>* items) {
    items->clear();
    if (length < kHeadSize + kCrcSize || length > kMaxEncoded) return false;
    if (std::memcmp(bytes, kMagic, sizeof kMagic) != 0 || bytes[4] != kVersion || bytes[5] != 0)
        return false;
    if (pack_format::GetU32(bytes + length - kCrcSize) != Crc32(0, bytes, length - kCrcSize))
        return false;
    Cursor in{bytes + kHeadSize, length - kHeadSize - kCrcSize};
    std::size_t count = static_cast<std::size_t>(bytes[6] | bytes[7] << 8);
    if (count == 0 || count > kMaxItems) return false;
    std::vector<Item> read(count);
    for (Item& item : read) {
        std::uint32_t kind = in.U8();
        if (!KnownKind(kind)) return false;
        item.kind = static_cast<Kind>(kind);
        item.stored = in.Text(in.U8());
        item.size = in.U32();
        item.crc = in.U32();
        item.mode = in.U32();
        item.mtimeNs = static_cast<std::int64_t>(in.U64());
        item.path = in.Text(in.U16());
        item.target = in.Text(in.U16());
        item.offset = in.U64();
        if (!in.ok || !WellFormed(item)) return false;
    }
    if (in.left != 0) return false;
    *items = std::move(read);
    return true;
}

void Matcher::Take(std::vector<Item> items) {
    items_ = std::move(items);
    used_.assign(items_.size(), false);
    first_ = 0;
    Advance();
}

void Matcher::Advance() {
    while (first_ < items_.size() && (used_[first_] || !HasEntry(items_[first_].kind))) ++first_;
}

const Item* Matcher::Peek(const char* stored, std::uint32_t size) const {
    for (std::size_t i = first_; i < items_.size(); ++i) {
        const Item& item = items_[i];
        if (!used_[i] && HasEntry(item.kind) && item.size == size && item.stored == stored) {
            return &item;
        }
    }
    return nullptr;
}

const Item* Matcher::Find(const char* stored, std::uint32_t size) {
    const Item* item = Peek(stored, size);
    if (item != nullptr) {
        used_[static_cast<std::size_t>(item - items_.data())] = true;
        Advance();
    }
    return item;
}

std::size_t Matcher::Unmatched() const {
    std::size_t count = 0;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (!used_[i] && HasEntry(items_[i].kind)) ++count;
    }
    return count;
}

}  // namespace descriptions
