// The pack file format: every on-disk constant, and the little-endian field codecs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pack_format {

// Header: magic, compressed flag (one byte), entry count.
inline constexpr unsigned char kMagic[4] = {'U', 'P', 'z', '3'};
inline constexpr std::size_t kMagicSize = sizeof kMagic;
inline constexpr std::size_t kFlagOffset = 4;
inline constexpr std::size_t kCountOffset = 5;
inline constexpr std::size_t kHeaderSize = 9;

// Record head: size, stored size, name field; the data follows.
inline constexpr std::size_t kSizeOffset = 0;
inline constexpr std::size_t kStoredSizeOffset = 4;
inline constexpr std::size_t kNameOffset = 8;
inline constexpr std::size_t kNameSize = 32;
inline constexpr std::size_t kRecordHeadSize = 40;

// The smallest record a file can hold: its head and one byte of data.
inline constexpr std::uint64_t kMinRecordSize = kRecordHeadSize + 1;

// Deflate never expands one byte of stream into more than this many bytes.
inline constexpr std::uint64_t kMaxInflateRatio = 1032;

inline std::uint32_t GetU32(const unsigned char* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

inline void PutU32(unsigned char* at, std::uint32_t value) {
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
    at[2] = static_cast<unsigned char>(value >> 16);
    at[3] = static_cast<unsigned char>(value >> 24);
}

// The file header: magic, flag and entry count. Decoding is false for another magic.
inline void EncodeHeader(unsigned char* header, std::uint8_t flag, std::uint32_t count) {
    for (std::size_t i = 0; i < kMagicSize; ++i) header[i] = kMagic[i]; /* magic */
    header[kFlagOffset] = flag;                                         /* compressed flag */
    PutU32(header + kCountOffset, count);                               /* entry count */
}

inline bool DecodeHeader(const unsigned char* header, std::uint8_t* flag, std::uint32_t* count) {
    for (std::size_t i = 0; i < kMagicSize; ++i) {
        if (header[i] != kMagic[i]) return false; /* magic */
    }
    *flag = header[kFlagOffset];            /* compressed flag */
    *count = GetU32(header + kCountOffset); /* entry count */
    return true;
}

// A record head: size, stored size and all 32 bytes of the name field.
inline void EncodeHead(unsigned char* head, std::uint32_t size, std::uint32_t stored,
                       const char* name) {
    PutU32(head + kSizeOffset, size);           /* size */
    PutU32(head + kStoredSizeOffset, stored);   /* stored size */
    for (std::size_t i = 0; i < kNameSize; ++i) /* name */
        head[kNameOffset + i] = static_cast<unsigned char>(name[i]);
}

}  // namespace pack_format
