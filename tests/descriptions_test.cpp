// The description codec: its self-check against damage and look-alikes, and matching to entries.
#include "pack/descriptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using descriptions::Item;
using descriptions::Kind;

std::uint32_t CrcOf(const std::string& bytes) {
    return descriptions::Crc32(0, reinterpret_cast<const unsigned char*>(bytes.data()),
                               bytes.size());
}

Item FileItem(const std::string& stored, const std::string& path, const std::string& bytes) {
    Item item;
    item.stored = stored;
    item.path = path;
    item.size = static_cast<std::uint32_t>(bytes.size());
    item.crc = CrcOf(bytes);
    item.mode = 0640;
    item.mtimeNs = 1700000000123456789;
    return item;
}

std::vector<Item> Sample() {
    std::vector<Item> items = {FileItem("a.txt", "a.txt", "alpha"),
                               FileItem(".zorellong.0", std::string(300, 'p') + "/b", "beta")};
    Item link;
    link.kind = Kind::kSymlink;
    link.path = "l";
    link.target = "../x";
    link.mode = 0777;
    link.mtimeNs = -1;
    items.push_back(link);
    return items;
}

TEST(Descriptions, RoundTripKeepsEveryField) {
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(descriptions::Encode(Sample(), &bytes));
    std::vector<Item> back;
    ASSERT_TRUE(descriptions::Decode(bytes.data(), bytes.size(), &back));
    EXPECT_TRUE(back == Sample());
}

// Every single byte changed, and every length cut short or run long, is refused.
TEST(Descriptions, DamageAtEachByteIsNeverApplied) {
    std::vector<unsigned char> good;
    ASSERT_TRUE(descriptions::Encode(Sample(), &good));
    std::vector<Item> items;
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (unsigned char flip : {0x01, 0x80, 0xff}) {
            std::vector<unsigned char> bad = good;
            bad[at] ^= flip;
            EXPECT_FALSE(descriptions::Decode(bad.data(), bad.size(), &items)) << at;
            EXPECT_TRUE(items.empty());
        }
        EXPECT_FALSE(descriptions::Decode(good.data(), at, &items)) << "cut at " << at;
    }
    std::vector<unsigned char> longer = good;
    longer.push_back(0);
    EXPECT_FALSE(descriptions::Decode(longer.data(), longer.size(), &items));
}

// Ordinary files that bear the reserved name are never read as descriptions.
TEST(Descriptions, OrdinaryBytesUnderTheReservedName) {
    std::vector<unsigned char> good;
    ASSERT_TRUE(descriptions::Encode(Sample(), &good));
    std::string magicOnly(reinterpret_cast<const char*>(good.data()), 16);
    const std::vector<std::string> cases = {
        "x",
        "hello world\n",
        std::string(64, '\0'),
        magicOnly,
        std::string(reinterpret_cast<const char*>(good.data()), good.size() - 4) + "\0\0\0\0",
    };
    EXPECT_TRUE(descriptions::IsDescriptionName(descriptions::DescriptionName(7).c_str()));
    EXPECT_FALSE(descriptions::IsDescriptionName("notes.txt"));
    for (const std::string& bytes : cases) {
        std::vector<Item> items;
        EXPECT_FALSE(descriptions::Decode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                          bytes.size(), &items))
            << bytes.size();
    }
}

TEST(Descriptions, EncodeRefusesIllFormedItems) {
    Item noStored = FileItem("", "f", "x");
    Item longStored = FileItem(std::string(32, 'n'), "f", "x");
    Item noPath = FileItem("f", "", "x");
    Item longPath = FileItem("f", std::string(descriptions::kMaxPath + 1, 'p'), "x");
    Item folderWithEntry = FileItem("d", "d", "x");
    folderWithEntry.kind = Kind::kFolder;
    Item wideMode = FileItem("f", "f", "x");
    wideMode.mode = 010000;
    std::vector<unsigned char> out;
    for (const Item& item : {noStored, longStored, noPath, longPath, folderWithEntry, wideMode}) {
        EXPECT_FALSE(descriptions::Encode({item}, &out)) << item.path.size();
    }
    EXPECT_FALSE(descriptions::Encode({}, &out));
    EXPECT_FALSE(descriptions::Encode(
        std::vector<Item>(descriptions::kMaxItems + 1, FileItem("f", "f", "x")), &out));
    EXPECT_TRUE(out.empty());
}

struct Entry {
    std::string stored, bytes;
};

// Where each entry comes out after a description of `described`: its path when name, size and
// CRC all match, "!" when name and size match but its bytes do not, else its stored name.
std::vector<std::string> Outcomes(const std::vector<Entry>& described,
                                  const std::vector<Entry>& present) {
    std::vector<Item> items;
    for (const Entry& e : described)
        items.push_back(FileItem(e.stored, "tree/" + e.stored, e.bytes));
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(descriptions::Encode(items, &bytes));
    std::vector<Item> decoded;
    EXPECT_TRUE(descriptions::Decode(bytes.data(), bytes.size(), &decoded));
    descriptions::Matcher matcher;
    matcher.Take(std::move(decoded));
    std::vector<std::string> out;
    for (const Entry& e : present) {
        const Item* item =
            matcher.Find(e.stored.c_str(), static_cast<std::uint32_t>(e.bytes.size()));
        if (item == nullptr) {
            out.push_back(e.stored);
        } else {
            out.push_back(item->crc == CrcOf(e.bytes) ? item->path : "!");
        }
    }
    return out;
}

TEST(Descriptions, EditedEntrySetIsDescribedRightlyOrNotAtAll) {
    const std::vector<Entry> tree = {{"a", "one"}, {"b", "two"}, {"c", "three"}};
    struct Case {
        const char* what;
        std::vector<Entry> present;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"unchanged", tree, {"tree/a", "tree/b", "tree/c"}},
        {"removed", {{"a", "one"}, {"c", "three"}}, {"tree/a", "tree/c"}},
        {"added",
         {{"a", "one"}, {"b", "two"}, {"c", "three"}, {"d", "new"}},
         {"tree/a", "tree/b", "tree/c", "d"}},
        {"renamed", {{"a", "one"}, {"B", "two"}, {"c", "three"}}, {"tree/a", "B", "tree/c"}},
        {"replaced, other size", {{"a", "one"}, {"b", "twelve"}}, {"tree/a", "b"}},
        {"replaced, same size", {{"a", "one"}, {"b", "TWO"}}, {"tree/a", "!"}},
        {"twice", {{"a", "one"}, {"a", "one"}}, {"tree/a", "a"}},
        {"reordered", {{"c", "three"}, {"a", "one"}}, {"tree/c", "tree/a"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Outcomes(tree, c.present), c.want) << c.what;
    }
}

}  // namespace
