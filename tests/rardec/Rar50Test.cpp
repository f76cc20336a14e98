// The RAR 5 decoder: on the packed bytes of the real samples, on streams written here and checked
// against libarchive's decoder, and on damaged input.
#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>
#include <bit>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <utility>
#include <zlib.h>

#include "rardec/SampleEntries.h"
#include "rardec/Unpack50.h"
#include "unrar/Blake2sp.h"

namespace brisko::test {
namespace {

using rardec::Status;

class BytesInput : public rardec::PackedInput {
public:
    explicit BytesInput(const std::vector<std::uint8_t>& bytes) : m_bytes(bytes) {}
    long read(std::uint8_t* out, std::size_t size) override {
        const std::size_t n = std::min(size, m_bytes.size() - m_at);
        std::copy_n(m_bytes.data() + m_at, n, out);
        m_at += n;
        return static_cast<long>(n);
    }

private:
    const std::vector<std::uint8_t>& m_bytes;
    std::size_t m_at = 0;
};

class CollectOutput : public rardec::Output {
public:
    explicit CollectOutput(bool keep = true, std::uint64_t stopAfter = ~std::uint64_t(0))
        : m_keep(keep), m_stopAfter(stopAfter) {}
    bool write(const std::uint8_t* data, std::size_t size) override {
        crc = static_cast<std::uint32_t>(::crc32(crc, data, static_cast<uInt>(size)));
        blake.update(data, size);
        if (m_keep) {
            bytes.insert(bytes.end(), data, data + size);
        }
        written += size;
        return written < m_stopAfter;
    }
    std::vector<std::uint8_t> bytes;
    std::uint32_t crc = 0;
    enginelib::rar::Blake2sp blake;
    std::uint64_t written = 0;

private:
    bool m_keep;
    std::uint64_t m_stopAfter;
};

struct Decoded {
    Status status = Status::Ok;
    std::uint64_t size = 0;
    bool checksumOk = false;
};

// Decodes an archive's entries in order with one decoder, made for the largest dictionary among them.
std::vector<Decoded> decodeEntries(const std::vector<PackedEntry>& entries) {
    std::size_t dictionary = 0;
    bool extended = false;
    for (const PackedEntry& entry : entries) {
        if (entry.method != 0x30) {
            dictionary = std::max(dictionary, entry.dictionary);
            extended = entry.extendedDistances;
        }
    }
    const auto decoder = rardec::makeRar50Decoder(dictionary, extended);
    std::vector<Decoded> results;
    for (const PackedEntry& entry : entries) {
        CollectOutput output(false);
        Decoded result;
        if (entry.method == 0x30) {
            output.write(entry.packed.data(), entry.packed.size());
        } else {
            BytesInput input(entry.packed);
            result.status =
                decoder->decode(input, entry.packed.size(), entry.unpackedSize, entry.solid, output);
        }
        result.size = output.written;
        std::uint8_t digest[32] = {};
        output.blake.finish(digest);
        result.checksumOk = (!entry.hasCrc || output.crc == entry.crc) &&
                            (!entry.hasBlake || std::memcmp(digest, entry.blake, 32) == 0) &&
                            (entry.hasCrc || entry.hasBlake);
        results.push_back(result);
    }
    return results;
}

// ---- Streams written here -------------------------------------------------------------------------

class BitWriter {
public:
    void put(std::uint64_t value, unsigned count) {
        for (unsigned i = count; i-- > 0;) {
            if (m_bits % 8 == 0) {
                bytes.push_back(0);
            }
            if ((value >> i) & 1) {
                bytes.back() |= static_cast<std::uint8_t>(0x80 >> (m_bits % 8));
            }
            ++m_bits;
        }
    }
    std::uint64_t bits() const { return m_bits; }
    std::vector<std::uint8_t> bytes;

private:
    std::uint64_t m_bits = 0;
};

// Code lengths (at most 15) for symbol frequencies, Huffman's way; frequencies are halved until the
// longest code fits.
std::vector<std::uint8_t> huffmanLengths(std::vector<std::uint64_t> frequencies) {
    for (;;) {
        std::vector<std::uint8_t> lengths(frequencies.size(), 0);
        std::vector<std::size_t> symbolOf;                       // of each leaf
        std::vector<std::pair<std::uint64_t, std::size_t>> heap; // (weight, node)
        for (std::size_t s = 0; s < frequencies.size(); ++s) {
            if (frequencies[s] != 0) {
                heap.emplace_back(frequencies[s], symbolOf.size());
                symbolOf.push_back(s);
            }
        }
        if (symbolOf.size() == 1) {
            lengths[symbolOf[0]] = 1;
            return lengths;
        }
        std::vector<std::size_t> parent(symbolOf.size(), 0);
        const auto later = [](const auto& a, const auto& b) { return a.first > b.first; };
        std::make_heap(heap.begin(), heap.end(), later);
        while (heap.size() > 1) {
            std::pop_heap(heap.begin(), heap.end(), later);
            const auto a = heap.back();
            heap.pop_back();
            std::pop_heap(heap.begin(), heap.end(), later);
            const auto b = heap.back();
            heap.pop_back();
            parent.push_back(0);
            parent[a.second] = parent[b.second] = parent.size() - 1;
            heap.emplace_back(a.first + b.first, parent.size() - 1);
            std::push_heap(heap.begin(), heap.end(), later);
        }
        unsigned longest = 0;
        for (std::size_t leaf = 0; leaf < symbolOf.size(); ++leaf) {
            unsigned depth = 0;
            for (std::size_t node = leaf; node + 1 != parent.size(); node = parent[node]) {
                ++depth;
            }
            lengths[symbolOf[leaf]] = static_cast<std::uint8_t>(std::min(depth, 255u));
            longest = std::max(longest, depth);
        }
        if (longest <= 15) {
            return lengths;
        }
        for (std::uint64_t& f : frequencies) {
            f = f == 0 ? 0 : (f + 1) / 2;
        }
    }
}

// Writes RAR 5 blocks. The codes are flat (every symbol of an alphabet has the same length, so a code
// is the symbol itself) unless `fitted`: then every block with tables gets Huffman codes for its own
// symbols, as a real compressor would send them (the symbols it lacks get long codes too, so that
// a block reusing the tables can still have them).
class StreamWriter {
public:
    explicit StreamWriter(bool extended = false, bool alignCoded = false, bool fitted = false)
        : m_sizes{306, extended ? 80u : 64u, 16, 44}, m_alignCoded(alignCoded), m_fitted(fitted) {}

    void literal(std::uint8_t byte) { symbol(kMain, byte); }
    void literals(const std::vector<std::uint8_t>& bytes) {
        for (const std::uint8_t b : bytes) {
            literal(b);
        }
    }
    void match(std::size_t length, std::uint64_t distance) {
        const unsigned bonus = (distance > 0x100) + (distance > 0x2000) + (distance > 0x40000);
        const unsigned lengthSlot = slot(length - 2 - bonus, 2);
        symbol(kMain, 262 + lengthSlot);
        lengthExtra(length - 2 - bonus, lengthSlot);
        const std::uint64_t value = distance - 1;
        const unsigned distanceSlot = value < 4 ? static_cast<unsigned>(value) : slot(value, 1);
        symbol(kDistance, distanceSlot);
        if (distanceSlot >= 4) {
            const unsigned extra = (distanceSlot - 2) >> 1;
            const std::uint64_t low = value - (std::uint64_t(2 | (distanceSlot & 1)) << extra);
            if (extra < 4) {
                raw(low, extra);
            } else {
                raw(low >> 4, extra - 4);
                symbol(kAlign, static_cast<unsigned>(low & 15));
            }
        }
    }
    void repeat(unsigned which, std::size_t length) {
        symbol(kMain, 258 + which);
        const unsigned lengthSlot = slot(length - 2, 2);
        symbol(kLength, lengthSlot);
        lengthExtra(length - 2, lengthSlot);
    }
    void repeatLast() { symbol(kMain, 257); }
    void filter(std::uint32_t start, std::uint32_t length, unsigned type, unsigned channels = 1) {
        symbol(kMain, 256);
        for (const std::uint32_t number : {start, length}) {
            const unsigned bytes = number < 0x100 ? 1 : number < 0x10000 ? 2 : number < 0x1000000 ? 3 : 4;
            raw(bytes - 1, 2);
            for (unsigned i = 0; i < bytes; ++i) {
                raw((number >> (8 * i)) & 0xFF, 8);
            }
        }
        raw(type, 3);
        if (type == 0) {
            raw(channels - 1, 5);
        }
    }
    // Closes the current block; new tables go with it when `tables`, else the last ones are used.
    void endBlock(bool tables, bool last) {
        BitWriter block;
        if (!tables && m_lengths[0].empty()) {
            setTables(); // codes for a stream that (wrongly) never sends its tables
        }
        if (tables) {
            setTables();
            for (unsigned i = 0; i < 20; ++i) {
                block.put(5, 4); // pre-code: every length 5, so the code of a length is the length
            }
            for (unsigned alphabet = 0; alphabet < 4; ++alphabet) {
                for (const std::uint8_t length : m_lengths[alphabet]) {
                    block.put(length, 5);
                }
            }
        }
        for (const Token& token : m_tokens) {
            if (token.alphabet == kRaw) {
                block.put(token.value, token.bits);
            } else {
                const std::uint8_t length = m_lengths[token.alphabet].at(token.value);
                EXPECT_NE(length, 0) << "a symbol the block's tables lack";
                block.put(m_codes[token.alphabet].at(token.value), length);
            }
        }
        m_tokens.clear();
        appendBlock(block.bytes, block.bits(), tables, last);
    }
    // The stream so far; the writer goes on with empty output and its tables.
    std::vector<std::uint8_t> take() { return std::exchange(stream, {}); }
    // Bytes as given, for damaged streams.
    void rawBytes(const std::vector<std::uint8_t>& bytes) {
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }

    std::vector<std::uint8_t> stream;

private:
    enum : std::uint8_t { kMain, kDistance, kAlign, kLength, kRaw };
    struct Token {
        std::uint8_t alphabet;
        std::uint8_t bits; // raw bits only
        std::uint64_t value;
    };

    void symbol(std::uint8_t alphabet, unsigned value) { m_tokens.push_back({alphabet, 0, value}); }
    void raw(std::uint64_t value, unsigned bits) {
        m_tokens.push_back({kRaw, static_cast<std::uint8_t>(bits), value});
    }

    void setTables() {
        static constexpr std::uint8_t kFlat[4] = {9, 7, 4, 6};
        for (unsigned alphabet = 0; alphabet < 4; ++alphabet) {
            std::vector<std::uint8_t>& lengths = m_lengths[alphabet];
            if (m_fitted) {
                std::vector<std::uint64_t> frequencies(m_sizes[alphabet], 1);
                for (const Token& token : m_tokens) {
                    if (token.alphabet == alphabet) {
                        frequencies.at(token.value) += 8;
                    }
                }
                lengths = huffmanLengths(frequencies);
            } else {
                const std::uint8_t flat = alphabet == kAlign && m_alignCoded ? 5 : kFlat[alphabet];
                lengths.assign(m_sizes[alphabet], flat);
            }
            // Canonical codes: by length, then by symbol.
            unsigned perLength[16] = {};
            for (const std::uint8_t length : lengths) {
                ++perLength[length];
            }
            perLength[0] = 0;
            std::uint32_t next[16] = {};
            std::uint32_t code = 0;
            for (unsigned length = 1; length < 16; ++length) {
                code = (code + perLength[length - 1]) << 1;
                next[length] = code;
            }
            m_codes[alphabet].assign(lengths.size(), 0);
            for (std::size_t s = 0; s < lengths.size(); ++s) {
                if (lengths[s] != 0) {
                    m_codes[alphabet][s] = next[lengths[s]]++;
                }
            }
        }
    }

    // The slot of `value` when slots carry `topBits` leading bits (2 for lengths, 1 for distances).
    static unsigned slot(std::uint64_t value, unsigned topBits) {
        const unsigned direct = 1u << (topBits + 1);
        if (value < direct) {
            return static_cast<unsigned>(value);
        }
        const unsigned extra = static_cast<unsigned>(std::bit_width(value)) - 1 - topBits;
        const unsigned high = static_cast<unsigned>(value >> extra) & ((1u << topBits) - 1);
        return topBits == 2 ? (extra + 1) * 4 + high : 2 * extra + 2 + high;
    }
    void lengthExtra(std::uint64_t value, unsigned lengthSlot) {
        if (lengthSlot >= 8) {
            const unsigned extra = (lengthSlot >> 2) - 1;
            raw(value - (std::uint64_t(4 | (lengthSlot & 3)) << extra), extra);
        }
    }
    void appendBlock(const std::vector<std::uint8_t>& payload, std::uint64_t bits, bool tables, bool last) {
        const std::size_t size = payload.size();
        const unsigned sizeBytes = size < 0x100 ? 1 : size < 0x10000 ? 2 : 3;
        const unsigned validBits = size == 0 ? 1 : static_cast<unsigned>(bits - (size - 1) * 8);
        const auto flags = static_cast<std::uint8_t>((validBits - 1) | ((sizeBytes - 1) << 3) |
                                                     (last ? 0x40 : 0) | (tables ? 0x80 : 0));
        std::uint8_t check = 0x5A ^ flags;
        for (unsigned i = 0; i < sizeBytes; ++i) {
            check ^= static_cast<std::uint8_t>(size >> (8 * i));
        }
        stream.push_back(flags);
        stream.push_back(check);
        for (unsigned i = 0; i < sizeBytes; ++i) {
            stream.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
        }
        stream.insert(stream.end(), payload.begin(), payload.end());
    }

    unsigned m_sizes[4];
    bool m_alignCoded;
    bool m_fitted;
    std::vector<Token> m_tokens;
    std::vector<std::uint8_t> m_lengths[4];
    std::vector<std::uint32_t> m_codes[4];
};

// ---- libarchive as the reference ------------------------------------------------------------------

void putVint(std::vector<std::uint8_t>& out, std::uint64_t value) {
    do {
        out.push_back(static_cast<std::uint8_t>((value & 0x7F) | (value > 0x7F ? 0x80 : 0)));
        value >>= 7;
    } while (value != 0);
}

void putHeader(std::vector<std::uint8_t>& archive, const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> sized;
    putVint(sized, body.size());
    sized.insert(sized.end(), body.begin(), body.end());
    const auto crc = static_cast<std::uint32_t>(::crc32(0, sized.data(), static_cast<uInt>(sized.size())));
    for (unsigned i = 0; i < 4; ++i) {
        archive.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
    }
    archive.insert(archive.end(), sized.begin(), sized.end());
}

struct StreamEntry {
    std::vector<std::uint8_t> stream;
    std::uint64_t unpackedSize = 0;
    bool solid = false;
};

// A RAR 5 archive around packed streams (4 MiB dictionary, method 3, no checksums).
std::vector<std::uint8_t> wrapInArchive(const std::vector<StreamEntry>& entries) {
    std::vector<std::uint8_t> archive = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
    const bool solid =
        std::any_of(entries.begin(), entries.end(), [](const StreamEntry& e) { return e.solid; });
    putHeader(archive, {1, 0, static_cast<std::uint8_t>(solid ? 4 : 0)});
    for (const StreamEntry& entry : entries) {
        std::vector<std::uint8_t> body;
        putVint(body, 2);   // file header
        putVint(body, 0x2); // with data
        putVint(body, entry.stream.size());
        putVint(body, 0); // no mtime, no CRC
        putVint(body, entry.unpackedSize);
        putVint(body, 0100644);
        putVint(body, (3u << 7) | (5u << 10) | (entry.solid ? 0x40u : 0u));
        putVint(body, 1);
        putVint(body, 1);
        body.push_back('f');
        putHeader(archive, body);
        archive.insert(archive.end(), entry.stream.begin(), entry.stream.end());
    }
    putHeader(archive, {5, 0, 0});
    return archive;
}

// Every entry's data as libarchive decodes it; `ok` says whether it got through them all.
std::vector<std::vector<std::uint8_t>> libarchiveDecode(const std::vector<std::uint8_t>& archive, bool& ok) {
    std::vector<std::vector<std::uint8_t>> out;
    ok = false;
    struct archive* reader = archive_read_new();
    archive_read_support_format_rar5(reader);
    if (archive_read_open_memory(reader, archive.data(), archive.size()) == ARCHIVE_OK) {
        archive_entry* header = nullptr;
        int status = ARCHIVE_OK;
        ok = true;
        while ((status = archive_read_next_header(reader, &header)) == ARCHIVE_OK) {
            out.emplace_back();
            const void* block = nullptr;
            std::size_t size = 0;
            la_int64_t offset = 0;
            while ((status = archive_read_data_block(reader, &block, &size, &offset)) == ARCHIVE_OK) {
                const auto* bytes = static_cast<const std::uint8_t*>(block);
                out.back().insert(out.back().end(), bytes, bytes + size);
            }
            ok = ok && status == ARCHIVE_EOF;
        }
        ok = ok && status == ARCHIVE_EOF;
    }
    archive_read_free(reader);
    return out;
}

std::vector<std::uint8_t> pattern(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::minstd_rand random(seed);
    for (std::uint8_t& b : bytes) {
        b = static_cast<std::uint8_t>(random() % 7 + 'a'); // few symbols: matches all over
    }
    return bytes;
}

// ---- Tests ----------------------------------------------------------------------------------------

TEST(Rar50Compression, TakesTheFieldApart) {
    struct Case {
        std::uint64_t info;
        unsigned version;
        bool solid;
        unsigned method;
        std::uint64_t dictionary;
        bool extended;
        bool known;
    };
    const Case cases[] = {
        {0x0000, 0, false, 0, 128 * 1024, false, true},         // stored
        {0x01C0 | 0x0400, 0, true, 3, 256 * 1024, false, true}, // -m3, solid, 256 KiB
        {0x0080 | (15u << 10), 0, false, 1, std::uint64_t(4) << 30, false, true},
        {0x4000 | 0x0100, 0, false, 2, 128 * 1024, false, true}, // bit 14 is not version 0's
        {1 | 0x0180 | (3u << 10) | (8u << 15), 1, false, 3, std::uint64_t(40) << 15, true, true},
        {1 | 0x0180 | (20u << 10) | (1u << 20), 1, false, 3, std::uint64_t(32) << 32, false, true},
        {2 | 0x0180, 2, false, 3, 0, false, false},      // a version still to come
        {0x0300, 0, false, 6, 128 * 1024, false, false}, // no such method
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.info);
        const rardec::Rar5Compression got = rardec::parseRar5Compression(c.info);
        EXPECT_EQ(got.version, c.version);
        EXPECT_EQ(got.solid, c.solid);
        EXPECT_EQ(got.method, c.method);
        if (c.known) {
            EXPECT_EQ(got.dictionary, c.dictionary);
        }
        EXPECT_EQ(got.extendedDistances, c.extended);
        EXPECT_EQ(got.known, c.known);
    }
}

TEST(Rar50Samples, EveryFileEntryHasItsSizeAndChecksum) {
    if (!SamplesPresent()) {
        GTEST_SKIP() << "RAR samples not found at " << kRarSamples;
    }
    struct Set {
        const char* path;
        std::size_t files;      // file entries with data
        std::size_t compressed; // of them through the decoder
    };
    const Set sets[] = {
        {"rar5-stored/test_read_format_rar5_stored.rar", 1, 0},
        {"rar5-multiple-files/test_read_format_rar5_multiple_files.rar", 4, 4},
        {"rar5-solid/test_read_format_rar5_solid.rar", 7, 7},
        {"rar5-solid-dirs/Rar5.solid.rar", 3, 3},
        {"rar5-stored-dirs/Rar5.none.rar", 3, 0},
        {"rar5-subdirs/rar5-subdirs.rar", 4, 0},
        {"rar5-symlinks/test_read_format_rar5_symlink.rar", 1, 0},
        {"rar5-symlink-unix/rar5-symlink-unix.rar", 1, 0},
        {"rar5-symlink-win/rar5-symlink-win.rar", 1, 0},
        {"rar5-hardlinks/rar5-hlink.rar", 1, 1},
        {"rar5-unicode/test_read_format_rar5_unicode.rar", 1, 0},
        {"rar5-win32-attrs/test_read_format_rar5_win32.rar", 7, 7},
        {"rar5-blake2/rar5-blake.rar", 2, 1},
        {"rar5-arm-filter/test_read_format_rar5_arm.rar", 1, 1},
        {"rar5-sfx/test_read_format_rar5_sfx.exe", 1, 0},
        {"rar5-evil-symlink/rar5-evil-symlink-traversal.rar", 1, 0},
        {"rar5-vol-stored/rar5-vols.part1.rar", 2, 0},
        {"rar5-vol-8parts/test_read_format_rar5_multiarchive.part01.rar", 2, 2},
        {"rar5-vol-solid/test_read_format_rar5_multiarchive_solid.part01.rar", 9, 9},
        {"rar5-vol-compressed/Rar5.multi.part01.rar", 3, 3},
        {"_synthetic/g5-plain/g5_plain.rar", 4, 0},
        {"_synthetic/g5-vol/g5_vol.part1.rar", 4, 0},
        {"_synthetic/g5-evil/g5_evil.rar", 3, 0},
    };
    for (const Set& set : sets) {
        SCOPED_TRACE(set.path);
        const std::vector<PackedEntry> entries = PackedEntries(set.path);
        ASSERT_EQ(entries.size(), set.files);
        const auto compressed = static_cast<std::size_t>(std::count_if(
            entries.begin(), entries.end(), [](const PackedEntry& e) { return e.method != 0x30; }));
        EXPECT_EQ(compressed, set.compressed);
        const std::vector<Decoded> results = decodeEntries(entries);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            SCOPED_TRACE(entries[i].name);
            EXPECT_EQ(entries[i].unpackVersion, 50u);
            EXPECT_EQ(results[i].status, Status::Ok);
            EXPECT_EQ(results[i].size, entries[i].unpackedSize);
            EXPECT_TRUE(results[i].checksumOk);
        }
    }
}

// Damaged copies of real entries: cut short, or with bits flipped. A cut stream must fail (or, when
// only the end markers went, still be right); a flipped one may decode, but then to exactly the size
// asked for, and never crash or hang. In a solid chain the entries before the damage stay right.
TEST(Rar50Samples, DamagedEntriesFailCleanly) {
    if (!SamplesPresent()) {
        GTEST_SKIP() << "RAR samples not found at " << kRarSamples;
    }
    struct Target {
        const char* path;
        std::size_t entry; // the one damaged
    };
    const Target targets[] = {
        {"rar5-arm-filter/test_read_format_rar5_arm.rar", 0},
        {"rar5-solid-dirs/Rar5.solid.rar", 0},
        {"rar5-solid-dirs/Rar5.solid.rar", 1},
        {"rar5-multiple-files/test_read_format_rar5_multiple_files.rar", 2},
        {"rar5-blake2/rar5-blake.rar", 0},
        {"rar5-solid/test_read_format_rar5_solid.rar", 3},
    };
    std::minstd_rand random(5);
    std::size_t caught = 0;
    std::size_t flips = 0;
    for (const Target& target : targets) {
        SCOPED_TRACE(target.path + std::string(" #") + std::to_string(target.entry));
        std::vector<PackedEntry> entries = PackedEntries(target.path);
        ASSERT_GT(entries.size(), target.entry);
        ASSERT_NE(entries[target.entry].method, 0x30u);
        const std::vector<std::uint8_t> original = entries[target.entry].packed;
        const auto check = [&](const std::vector<Decoded>& results) {
            for (std::size_t i = 0; i < results.size(); ++i) {
                EXPECT_TRUE(i >= target.entry || (results[i].status == Status::Ok && results[i].checksumOk));
                EXPECT_TRUE(results[i].status != Status::Ok || results[i].size == entries[i].unpackedSize);
                EXPECT_LE(results[i].size, entries[i].unpackedSize);
            }
        };
        const std::size_t cuts[] = {
            0, 1, 2, 3, 5, original.size() / 3, original.size() / 2, original.size() - 1};
        for (const std::size_t cut : cuts) {
            SCOPED_TRACE(cut);
            entries[target.entry].packed.assign(original.begin(), original.begin() + static_cast<long>(cut));
            const std::vector<Decoded> results = decodeEntries(entries);
            check(results);
            const Decoded& cutOne = results[target.entry];
            EXPECT_TRUE(cutOne.status != Status::Ok || cutOne.checksumOk);
        }
        for (unsigned i = 0; i < 300; ++i) {
            std::vector<std::uint8_t>& packed = entries[target.entry].packed;
            packed = original;
            packed[random() % packed.size()] ^= static_cast<std::uint8_t>(1u << (random() % 8));
            // Sometimes a whole byte more, among the block headers and tables at the start.
            if (i % 3 == 0) {
                packed[random() % std::min<std::size_t>(packed.size(), 64)] =
                    static_cast<std::uint8_t>(random());
            }
            const std::vector<Decoded> results = decodeEntries(entries);
            check(results);
            ++flips;
            const Decoded& flipped = results[target.entry];
            caught += flipped.status != Status::Ok || !flipped.checksumOk ? 1 : 0;
        }
    }
    // Flips in the unused bits of a block's last byte change nothing; nearly all others show.
    EXPECT_GE(caught * 100, flips * 95) << caught << " of " << flips;
}

// Streams written here, decoded by us and by libarchive: both must give the same bytes.
TEST(Rar50Streams, DecodeAsLibarchiveDoes) {
    struct Case {
        const char* name;
        std::function<void(StreamWriter&)> write;
        std::uint64_t size;
    };
    const std::vector<std::uint8_t> text = pattern(70000, 1);
    std::vector<std::uint8_t> code(9000);
    for (std::size_t i = 0; i < code.size(); ++i) {
        code[i] = static_cast<std::uint8_t>(i % 5 == 0   ? 0xE8
                                            : i % 7 == 0 ? 0xE9
                                            : i % 4 == 3 ? 0xEB
                                                         : i * 13);
    }
    const Case cases[] = {
        {"literals",
         [&](StreamWriter& w) {
             w.literals({'a', 'b', 'c'});
             w.endBlock(true, true);
         },
         3},
        {"overlapping matches",
         [&](StreamWriter& w) {
             w.literals({'x', 'y', 'z'});
             w.match(40, 1);
             w.match(100, 3);
             w.match(4097, 17); // the longest length a short distance can have
             w.endBlock(true, true);
         },
         3 + 40 + 100 + 4097},
        {"far matches with bonuses",
         [&](StreamWriter& w) {
             w.literals(std::vector<std::uint8_t>(text.begin(), text.begin() + 70000));
             w.match(5, 0x101);  // one extra
             w.match(6, 0x2001); // two extra
             w.match(300, 69000);
             w.match(9, 0x100); // just below the first bonus
             w.endBlock(true, true);
         },
         70000 + 5 + 6 + 300 + 9},
        {"repeat distances",
         [&](StreamWriter& w) {
             w.literals(std::vector<std::uint8_t>(text.begin(), text.begin() + 5000));
             w.match(4, 100);
             w.match(5, 200);
             w.match(6, 300);
             w.match(7, 400);
             w.repeat(0, 8);
             w.repeat(1, 9);
             w.repeat(2, 30);
             w.repeat(3, 300);
             w.repeatLast();
             w.repeat(3, 2);
             w.endBlock(true, true);
         },
         5000 + 4 + 5 + 6 + 7 + 8 + 9 + 30 + 300 + 300 + 2},
        {"align-coded distances",
         [&](StreamWriter& w) {
             w.literals(std::vector<std::uint8_t>(text.begin(), text.begin() + 60000));
             for (std::uint64_t d : {17u, 33u, 1000u, 4097u, 59999u}) {
                 w.match(12, d);
             }
             w.endBlock(true, true);
         },
         60000 + 5 * 12},
        {"blocks reusing tables",
         [&](StreamWriter& w) {
             w.literals({'1', '2', '3', '4'});
             w.endBlock(true, false);
             w.match(20, 4);
             w.endBlock(false, false);
             w.endBlock(false, false); // empty
             w.literal('!');
             w.endBlock(true, true);
         },
         25},
        {"delta filter",
         [&](StreamWriter& w) {
             w.filter(2, 3000, 0, 3);
             w.literals(std::vector<std::uint8_t>(text.begin(), text.begin() + 3010));
             w.endBlock(true, true);
         },
         3010},
        {"x86 filters",
         [&](StreamWriter& w) {
             w.filter(0, 4000, 1);
             w.filter(4000, 5000, 2);
             w.literals(code);
             w.endBlock(true, true);
         },
         9000},
        {"ARM filter after data",
         [&](StreamWriter& w) {
             w.literals(std::vector<std::uint8_t>(code.begin(), code.begin() + 1000));
             w.filter(3, 6000, 3);
             w.literals(std::vector<std::uint8_t>(code.begin() + 1000, code.end()));
             w.endBlock(true, true);
         },
         9000},
        {"repeat of the last match before any match",
         [&](StreamWriter& w) {
             w.literals({'a', 'b'});
             w.repeatLast();
             w.literal('c');
             w.endBlock(true, true);
         },
         3},
        // x86 addresses are taken modulo 16 MiB of file offset.
        {"x86 filter past 16 MiB",
         [&](StreamWriter& w) {
             w.literals(code);
             for (int i = 0; i < 4100; ++i) {
                 w.match(4097, 9000);
             }
             w.filter(0, 60000, 2);
             for (int i = 0; i < 15; ++i) {
                 w.match(4097, 9000);
             }
             w.endBlock(true, true);
         },
         9000 + 4115 * 4097},
        // Our window wraps just past 8 MiB: matches and a filter block across that point.
        {"across the window's end",
         [&](StreamWriter& w) {
             w.literals(std::vector<std::uint8_t>(code.begin(), code.begin() + 5000));
             for (int i = 0; i < 2040; ++i) {
                 w.match(4097, 5000);
             }
             w.filter(20000, 20000, 3);
             for (int i = 0; i < 10; ++i) {
                 w.match(4097, 4999 + static_cast<unsigned>(i));
             }
             w.endBlock(true, true);
         },
         5000 + 2050 * 4097},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Flat codes with raw or coded low distance bits, and codes fitted to the symbols.
        for (const auto& [alignCoded, fitted] : {std::pair{false, false}, {true, false}, {false, true}}) {
            StreamWriter writer(false, alignCoded, fitted);
            c.write(writer);
            bool ok = false;
            const auto reference = libarchiveDecode(wrapInArchive({{writer.stream, c.size, false}}), ok);
            ASSERT_TRUE(ok);
            ASSERT_EQ(reference.size(), 1u);
            ASSERT_EQ(reference[0].size(), c.size);

            const auto decoder = rardec::makeRar50Decoder(4 << 20, false);
            BytesInput input(writer.stream);
            CollectOutput output;
            EXPECT_EQ(decoder->decode(input, writer.stream.size(), c.size, false, output), Status::Ok);
            EXPECT_TRUE(output.bytes == reference[0]);

            // RAR 7's alphabet: the same symbols behind 446 code lengths give the same bytes.
            StreamWriter wide(true, alignCoded, fitted);
            c.write(wide);
            const auto wideDecoder = rardec::makeRar50Decoder(4 << 20, true);
            BytesInput wideInput(wide.stream);
            CollectOutput wideOutput;
            EXPECT_EQ(wideDecoder->decode(wideInput, wide.stream.size(), c.size, false, wideOutput),
                      Status::Ok);
            EXPECT_TRUE(wideOutput.bytes == reference[0]);
        }
    }
}

// A solid chain: the window, repeat distances, last length and tables carry over; filters do not, and
// their file offsets start again with each entry.
TEST(Rar50Streams, SolidEntriesContinueAsLibarchiveDoes) {
    const std::vector<std::uint8_t> text = pattern(20000, 2);
    StreamWriter writer; // one writer: the second entry's block uses the first one's tables
    writer.literals(text);
    writer.match(50, 1234);
    writer.endBlock(true, true);
    const std::vector<std::uint8_t> first = writer.take();
    writer.filter(0, 2000, 2); // E8E9 from the entry's start
    writer.repeat(0, 100);
    writer.repeatLast();
    writer.match(3000, 19000);
    writer.endBlock(false, true);
    const std::vector<std::uint8_t> second = writer.take();
    writer.filter(10, 500, 3);
    writer.match(600, 5);
    writer.endBlock(true, true);
    const std::vector<StreamEntry> entries = {
        {first, 20050, false}, {second, 3200, true}, {writer.take(), 600, true}};
    bool ok = false;
    const auto reference = libarchiveDecode(wrapInArchive(entries), ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(reference.size(), 3u);

    const auto decoder = rardec::makeRar50Decoder(4 << 20, false);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(i);
        BytesInput input(entries[i].stream);
        CollectOutput output;
        EXPECT_EQ(decoder->decode(input, entries[i].stream.size(), entries[i].unpackedSize, entries[i].solid,
                                  output),
                  Status::Ok);
        EXPECT_TRUE(output.bytes == reference[i]);
    }
    // After a failed entry the chain cannot go on, but a new stream can start.
    std::vector<std::uint8_t> cut(first.begin(), first.begin() + 100);
    BytesInput cutInput(cut);
    CollectOutput sink;
    EXPECT_EQ(decoder->decode(cutInput, cut.size(), 20050, false, sink), Status::Corrupt);
    BytesInput secondInput(second);
    EXPECT_EQ(decoder->decode(secondInput, second.size(), 3200, true, sink), Status::Corrupt);
    BytesInput again(first);
    CollectOutput fresh;
    EXPECT_EQ(decoder->decode(again, first.size(), 20050, false, fresh), Status::Ok);
    EXPECT_TRUE(fresh.bytes == reference[0]);
}

// Streams that break a rule of the format, each refused with the status a caller can act on.
TEST(Rar50Streams, RefusesWhatTheFormatForbids) {
    struct Case {
        const char* name;
        std::function<void(StreamWriter&)> write;
        std::uint64_t size;
        Status expected;
    };
    const Case cases[] = {
        {"distance before the stream",
         [](StreamWriter& w) {
             w.literals({1, 2});
             w.match(5, 3);
             w.endBlock(true, true);
         },
         7, Status::Corrupt},
        {"repeat distance of a fresh stream",
         [](StreamWriter& w) {
             w.literal(1);
             w.repeat(2, 4);
             w.endBlock(true, true);
         },
         5, Status::Corrupt},
        {"symbols without tables",
         [](StreamWriter& w) {
             w.literal(1);
             w.endBlock(false, true);
         },
         1, Status::Corrupt},
        {"filter of an unknown type",
         [](StreamWriter& w) {
             w.filter(0, 10, 5);
             w.endBlock(true, true);
         },
         0, Status::Unsupported},
        {"filter over 4 MiB",
         [](StreamWriter& w) {
             w.filter(0, 0x400001, 1);
             w.endBlock(true, true);
         },
         0, Status::Corrupt},
        {"filters overlapping",
         [](StreamWriter& w) {
             w.filter(0, 100, 1);
             w.filter(50, 100, 1);
             w.endBlock(true, true);
         },
         0, Status::Corrupt},
        {"filter never completed",
         [](StreamWriter& w) {
             w.filter(0, 100, 1);
             w.literal(7);
             w.endBlock(true, true);
         },
         1, Status::Corrupt},
        {"stream shorter than the entry",
         [](StreamWriter& w) {
             w.literal(1);
             w.endBlock(true, true);
         },
         2, Status::Corrupt},
        {"block size field of four bytes",
         [](StreamWriter& w) {
             w.rawBytes({0x18 | 0xC0, 0x5A ^ 0xD8, 0, 0, 0, 0});
         },
         0, Status::Corrupt},
        {"block header checksum",
         [](StreamWriter& w) {
             w.rawBytes({0xC0, 0x00, 0x01, 0x00});
         },
         0, Status::Corrupt},
        {"tables cut by the block end",
         [](StreamWriter& w) {
             w.rawBytes({0xC7, 0x5A ^ 0xC7 ^ 2, 2, 0x55, 0x55});
         },
         0, Status::Corrupt},
        {"empty last block ends an empty entry", [](StreamWriter& w) { w.endBlock(false, true); }, 0,
         Status::Ok},
        {"extra output is dropped",
         [](StreamWriter& w) {
             w.literals({1, 2, 3});
             w.endBlock(true, true);
         },
         2, Status::Ok},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StreamWriter writer;
        c.write(writer);
        const auto decoder = rardec::makeRar50Decoder(128 * 1024, false);
        BytesInput input(writer.stream);
        CollectOutput output;
        EXPECT_EQ(decoder->decode(input, writer.stream.size(), c.size, false, output), c.expected);
        EXPECT_LE(output.written, c.size);
        if (c.expected == Status::Ok) {
            EXPECT_EQ(output.written, c.size);
        }
    }
}

// Stopping on the output's word; dictionaries past libarchive's 64 MiB taken, past our cap refused.
TEST(Rar50Streams, StopsWhenAskedAndTakesDictionariesUpToTheCap) {
    StreamWriter writer;
    writer.literal('a');
    writer.match(4000, 1);
    writer.endBlock(true, true);
    const auto decoder = rardec::makeRar50Decoder(128 * 1024, false);
    BytesInput input(writer.stream);
    CollectOutput output(true, 1);
    EXPECT_EQ(decoder->decode(input, writer.stream.size(), 4001, false, output), Status::Stopped);

    const auto large = rardec::makeRar50Decoder(std::size_t(1) << 30, false);
    BytesInput once(writer.stream);
    CollectOutput whole;
    EXPECT_EQ(large->decode(once, writer.stream.size(), 4001, false, whole), Status::Ok);
    EXPECT_EQ(whole.written, 4001u);

    const std::uint64_t tooBig = rardec::rar5DictionaryCap() + 1;
    const auto huge = rardec::makeRar50Decoder(static_cast<std::size_t>(tooBig), true);
    BytesInput again(writer.stream);
    CollectOutput sink;
    EXPECT_EQ(huge->decode(again, writer.stream.size(), 4001, false, sink), Status::NoMemory);
}

} // namespace
} // namespace brisko::test
