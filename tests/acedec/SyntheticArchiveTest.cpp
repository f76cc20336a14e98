// Archives put together here, block by block, for what no sample covers: 64-bit headers, stubs with
// decoys, volume sets opened in the middle, unknown methods and hostile sizes.
#include "StreamWriter.h"

#include "acedec/Archive.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brisko::acedec {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put(Bytes& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// A block: CRC and size in front of `header` (type byte onwards), then `data`.
Bytes block(const Bytes& header, const Bytes& data = {}) {
    Bytes out;
    put(out, aceCrc16(header), 2);
    put(out, header.size(), 2);
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes mainBlock(std::uint16_t flags, std::uint8_t volume = 0) {
    Bytes h = {0};
    put(h, flags, 2);
    for (const char c : std::string("**ACE**")) {
        h.push_back(static_cast<std::uint8_t>(c));
    }
    h.insert(h.end(), {20, 20, 2, volume});
    put(h, 0x49240C40, 4); // time
    put(h, 0, 8);          // reserved
    h.push_back(0);        // advert length
    return block(h);
}

struct FileFields {
    std::string name;
    std::string data;
    std::uint16_t flags = 0x0001;
    std::uint8_t method = 0;
    bool wide = false;
    std::uint64_t packedSize = ~0ull; // default: the data's size
    std::uint64_t originalSize = ~0ull;
    std::uint32_t crc = 0; // default: of the data
    std::uint32_t attributes = 0x20;
};

Bytes fileBlock(const FileFields& f) {
    const Bytes data(f.data.begin(), f.data.end());
    Bytes h = {static_cast<std::uint8_t>(f.wide ? 3 : 1)};
    put(h, f.wide ? (f.flags | 0x0004) : f.flags, 2);
    put(h, f.packedSize != ~0ull ? f.packedSize : data.size(), f.wide ? 8 : 4);
    put(h, f.originalSize != ~0ull ? f.originalSize : data.size(), f.wide ? 8 : 4);
    put(h, 0x49240C40, 4);
    put(h, f.attributes, 4);
    put(h, f.crc ? f.crc : aceCrc32(data), 4);
    h.push_back(f.method);
    h.push_back(3); // quality
    put(h, 0x000A, 2);
    put(h, 0, 2);
    put(h, f.name.size(), 2);
    h.insert(h.end(), f.name.begin(), f.name.end());
    return block(h, data);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

struct Listed {
    std::string name;
    Status status;
    std::string data;
};

std::vector<Listed> extractAll(const std::vector<Bytes>& volumes, Status* end = nullptr,
                               Status* open = nullptr) {
    std::vector<MemoryVolumeProvider::Volume> list;
    for (const Bytes& v : volumes) {
        list.push_back({v.data(), v.size()});
    }
    MemoryVolumeProvider provider(list);
    Archive archive(provider);
    const Status opened = archive.open();
    if (open) {
        *open = opened;
    }
    std::vector<Listed> out;
    if (opened != Status::Ok) {
        return out;
    }
    Status next;
    while ((next = archive.nextEntry()) == Status::Ok) {
        Listed item{archive.entry().name, Status::Ok, {}};
        item.status = archive.extractEntry([&](std::span<const std::uint8_t> bytes) {
            item.data.append(bytes.begin(), bytes.end());
            return true;
        });
        out.push_back(item);
    }
    if (end) {
        *end = next;
    }
    return out;
}

TEST(SyntheticArchive, SixtyFourBitHeaders) {
    FileFields wide{"big.bin", "sixty-four bit sizes"};
    wide.wide = true;
    Status end;
    const auto listed =
        extractAll({concat({mainBlock(0), fileBlock(wide), fileBlock({"small.txt", "32"})})}, &end);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].status, Status::Ok);
    EXPECT_EQ(listed[0].data, "sixty-four bit sizes");
    EXPECT_EQ(listed[1].data, "32");
    EXPECT_EQ(end, Status::EndOfArchive);
}

TEST(SyntheticArchive, HandMadeLeniency) {
    // An empty entry whose header leaves the data-size flag clear, followed by zero padding.
    FileFields bare{"empty", ""};
    bare.flags = 0x0000;
    Status end;
    const auto listed = extractAll({concat({mainBlock(0), fileBlock(bare), Bytes(3, 0)})}, &end);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].status, Status::Ok);
    EXPECT_EQ(end, Status::EndOfArchive);
}

TEST(SyntheticArchive, StubWithDecoySignatures) {
    Bytes stub = {'M', 'Z'};
    stub.resize(3000, 0x90);
    // A decoy: the signature where a main header would put it, but with a wrong CRC.
    Bytes decoy = mainBlock(0);
    decoy[0] ^= 0xFF;
    stub.insert(stub.end(), decoy.begin(), decoy.end());
    const std::string text = "junk **ACE** junk";
    stub.insert(stub.end(), text.begin(), text.end());
    const auto listed = extractAll({concat({stub, mainBlock(0x0200), fileBlock({"a.txt", "found"})})});
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].data, "found");

    Status open;
    extractAll({stub}, nullptr, &open);
    EXPECT_EQ(open, Status::NotAnArchive);
}

TEST(SyntheticArchive, SetOpenedAtALaterVolumeSkipsTheOrphanTail) {
    FileFields head{"split.txt", "first half, "};
    head.flags = 0x2001;
    FileFields tail{"split.txt", "second half"};
    tail.flags = 0x1001;
    head.originalSize = tail.originalSize = 23;
    const std::string joined = "first half, second half";
    tail.crc = aceCrc32({reinterpret_cast<const std::uint8_t*>(joined.data()), joined.size()});
    head.crc = 0x0BAD0BAD; // earlier segments hold a partial CRC
    const Bytes vol0 = concat({mainBlock(0x0800, 0), fileBlock(head)});
    const Bytes vol1 = concat({mainBlock(0x0800, 1), fileBlock(tail), fileBlock({"next.txt", "whole"})});

    const auto whole = extractAll({vol0, vol1});
    ASSERT_EQ(whole.size(), 2u);
    EXPECT_EQ(whole[0].data, "first half, second half");
    EXPECT_EQ(whole[1].data, "whole");

    const auto later = extractAll({vol1});
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].name, "next.txt");

    // A continuation in the middle of a walk has no beginning: corrupt, not skipped.
    Status end;
    extractAll({concat({mainBlock(0), fileBlock({"a", "a"}), fileBlock(tail)})}, &end);
    EXPECT_EQ(end, Status::Corrupt);

    // The following volume must continue the same entry.
    FileFields other = tail;
    other.name = "other.txt";
    const auto wrong = extractAll({vol0, concat({mainBlock(0x0800, 1), fileBlock(other)})}, &end);
    ASSERT_EQ(wrong.size(), 1u);
    EXPECT_EQ(wrong[0].status, Status::Corrupt);
    EXPECT_EQ(end, Status::Corrupt);
}

TEST(SyntheticArchive, EntryFailures) {
    struct Case {
        const char* label;
        FileFields file;
        Status status;
    };
    FileFields unknownMethod{"m.bin", "data"};
    unknownMethod.method = 7;
    FileFields badCrc{"c.bin", "data"};
    badCrc.crc = 0x12345678;
    FileFields shortStored{"s.bin", "data"};
    shortStored.originalSize = 5;
    FileFields hugeClaim{"h.bin", std::string(64, '\0')};
    hugeClaim.method = 1;
    hugeClaim.wide = true;
    hugeClaim.originalSize = ~0ull - 1; // a tiny stream claiming 16 EiB
    FileFields encrypted{"e.bin", std::string(16, 'x')};
    encrypted.flags = 0x4001;
    const Case cases[] = {
        {"unknown method", unknownMethod, Status::Unsupported},
        {"CRC", badCrc, Status::CrcMismatch},
        {"stored data shorter than its size", shortStored, Status::Corrupt},
        {"huge size, little data", hugeClaim, Status::Corrupt},
        {"encrypted without a password", encrypted, Status::NeedsPassword},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const auto listed =
            extractAll({concat({mainBlock(0), fileBlock(c.file), fileBlock({"ok.txt", "fine"})})});
        ASSERT_EQ(listed.size(), 2u);
        EXPECT_EQ(listed[0].status, c.status);
        // A failed entry of an archive that is not solid leaves the next one untouched.
        EXPECT_EQ(listed[1].status, Status::Ok);
        EXPECT_EQ(listed[1].data, "fine");
    }
}

TEST(SyntheticArchive, StructuralDamageEndsTheWalk) {
    Bytes damaged = fileBlock({"x.txt", "x"});
    damaged[0] ^= 1; // header CRC
    FileFields unannounced{"n.txt", "abc"};
    unannounced.flags = 0x0000; // data that the header does not announce
    FileFields pastEnd{"p.txt", "abc"};
    pastEnd.packedSize = 1000;
    const Bytes cases[] = {fileBlock(unannounced), fileBlock(pastEnd), damaged, Bytes{1, 2, 3},
                           Bytes{0, 0, 2, 0}};
    for (const Bytes& tail : cases) {
        Status end;
        const auto listed = extractAll({concat({mainBlock(0), fileBlock({"a.txt", "a"}), tail})}, &end);
        ASSERT_EQ(listed.size(), 1u);
        EXPECT_EQ(listed[0].data, "a");
        EXPECT_EQ(end, Status::Corrupt);
    }
}

// A compressed stream step: a main symbol, or raw bits (distance bits, mode numbers and parameters).
struct Step {
    unsigned value;
    unsigned rawBits = 0; // 0: `value` is a main symbol
};

Step bitsOf(unsigned value, unsigned count) {
    return {value, count};
}

// One LZ77 table set holding exactly the symbols used, 4 bits each; every match length is symbol 0.
std::string compressedStream(const std::vector<Step>& steps) {
    std::vector<std::uint8_t> mainWidths(285, 0);
    unsigned symbols = 0;
    for (const Step& s : steps) {
        if (s.rawBits == 0) {
            mainWidths[s.value] = 4;
            ++symbols;
        }
    }
    std::vector<std::uint8_t> lengthWidths(256, 0);
    lengthWidths[0] = 1;
    test::BitWriter out;
    test::putWidthList(out, mainWidths);
    test::putWidthList(out, lengthWidths);
    out.put(symbols, 15);
    const test::Code mainCode(mainWidths, 11);
    const test::Code lengthCode(lengthWidths, 11);
    for (const Step& s : steps) {
        if (s.rawBits != 0) {
            out.put(s.value, s.rawBits);
        } else {
            mainCode.put(out, s.value);
            if (s.value >= 256 && s.value < 283) {
                lengthCode.put(out, 0);
            }
        }
    }
    const auto bytes = out.bytes();
    return {bytes.begin(), bytes.end()};
}

TEST(SyntheticArchive, CompressedStreams) {
    constexpr unsigned kSwitch = 283;
    constexpr unsigned kNearMatch = 260; // new distance 0: repeat the last byte, length 2
    const Step toDelta = {kSwitch};
    struct Case {
        const char* label;
        std::uint8_t method;
        std::vector<Step> steps;
        std::string output; // its size is the declared size
        Status status;
    };
    const Case cases[] = {
        {"DELTA block: running sum, then planes interleaved",
         2,
         {{'A'},
          toDelta,
          bitsOf(1, 8),
          bitsOf(2, 8),
          bitsOf(6, 17),
          {1},
          {1},
          {1},
          {5},
          {0},
          {0},
          {kSwitch},
          bitsOf(0, 8),
          {'Z'}},
         std::string("A\x01\x08\x02\x08\x03\x08Z", 8),
         Status::Ok},
        {"DELTA sum carries into the next block",
         2,
         {toDelta,
          bitsOf(1, 8),
          bitsOf(1, 8),
          bitsOf(2, 17),
          {1},
          {1},
          {kSwitch},
          bitsOf(1, 8),
          bitsOf(1, 8),
          bitsOf(1, 17),
          {1}},
         "\x01\x02\x03",
         Status::Ok},
        {"overlapping match", 1, {{'A'}, {kNearMatch}}, "AAA", Status::Ok},
        {"DELTA payload not followed by a mode switch",
         2,
         {toDelta, bitsOf(1, 8), bitsOf(1, 8), bitsOf(1, 17), {7}, {'Z'}},
         "\x07Z",
         Status::Corrupt},
        {"mode switch inside a DELTA payload",
         2,
         {toDelta, bitsOf(1, 8), bitsOf(1, 8), bitsOf(2, 17), {7}, {kSwitch}, bitsOf(0, 8)},
         "\x07\x07",
         Status::Corrupt},
        {"DELTA distance 0",
         2,
         {toDelta, bitsOf(1, 8), bitsOf(0, 8), bitsOf(0, 17), {'A'}},
         "A",
         Status::Corrupt},
        {"DELTA longer than the member",
         2,
         {toDelta, bitsOf(1, 8), bitsOf(1, 8), bitsOf(4, 17)},
         "AB",
         Status::Corrupt},
        {"mode number 8", 2, {{'A'}, {kSwitch}, bitsOf(8, 8), {'B'}}, "AB", Status::Corrupt},
        {"ACE 1.0 data has no mode switch",
         1,
         {{'A'}, {kSwitch}, bitsOf(0, 8), {'B'}},
         "AB",
         Status::Corrupt},
        {"match before the start of the data", 1, {{kNearMatch}}, "AA", Status::Corrupt},
        {"match past the declared size", 1, {{'A'}, {kNearMatch}}, "AA", Status::Corrupt},
        {"stream ends early", 1, {{'A'}}, "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", Status::Corrupt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        FileFields file{"f.bin", compressedStream(c.steps)};
        file.method = c.method;
        file.originalSize = c.output.size();
        file.crc = aceCrc32({reinterpret_cast<const std::uint8_t*>(c.output.data()), c.output.size()});
        const auto listed = extractAll({concat({mainBlock(0), fileBlock(file)})});
        ASSERT_EQ(listed.size(), 1u);
        EXPECT_EQ(listed[0].status, c.status);
        if (c.status == Status::Ok) {
            EXPECT_EQ(listed[0].data, c.output);
        }
    }
}

} // namespace
} // namespace brisko::acedec
