// Archives put together here, block by block, for what no sample archive holds. Faults caught here:
// - 64-bit sizes, an empty entry without the data flag, zero padding at the end misread
// - a stub with decoy signatures taken for the archive, or the real one behind it missed
// - a set opened at a later volume that does not skip the orphan tail; a continuation without its
//   beginning, or a volume that continues another entry, taken
// - an unknown method, a wrong CRC, short stored data, a huge size over little data, a missing
//   password not failing the entry, or spoiling the next one; a sink's cancel ignored
// - header damage (CRC, unannounced data, data past the end, garbage) not ending the walk
// - the ACE 2.0 DELTA mode (running sum, planes, carried sums) and its malformed forms, mode numbers
//   and switches where they do not belong, matches before the start or past the size
#include "StreamWriter.h"

#include "acedec/Archive.h"
#include "support/ArchiveBytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brisko::acedec {
namespace {

using brisko::test::Bytes;
using brisko::test::Le;

// A block: CRC and size in front of `header` (type byte onwards), then `data`.
Bytes block(const Bytes& header, const Bytes& data = {}) {
    Bytes out;
    Le(out, aceCrc16(header), 2);
    Le(out, header.size(), 2);
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// Flags, signature, versions 2.0, Win32, volume number, time, reserved, no advert.
Bytes mainBlock(std::uint16_t flags, std::uint8_t volume = 0) {
    Bytes h = {0,
               static_cast<std::uint8_t>(flags),
               static_cast<std::uint8_t>(flags >> 8),
               '*',
               '*',
               'A',
               'C',
               'E',
               '*',
               '*',
               20,
               20,
               2,
               volume,
               0x40,
               0x0C,
               0x24,
               0x49};
    h.resize(h.size() + 9, 0);
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
    Le(h, f.wide ? (f.flags | 0x0004) : f.flags, 2);
    Le(h, f.packedSize != ~0ull ? f.packedSize : data.size(), f.wide ? 8 : 4);
    Le(h, f.originalSize != ~0ull ? f.originalSize : data.size(), f.wide ? 8 : 4);
    Le(h, 0x49240C40, 4);
    Le(h, f.attributes, 4);
    Le(h, f.crc ? f.crc : aceCrc32(data), 4);
    h.push_back(f.method);
    h.push_back(3); // quality
    Le(h, 0x000A, 2);
    Le(h, 0, 2);
    Le(h, f.name.size(), 2);
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
    const auto bytes = test::aceWords(out);
    return {bytes.begin(), bytes.end()};
}

// What a walk over the volumes gave: "name:status[:data] " per entry, then the status that ended it.
std::string walk(const std::vector<Bytes>& volumes) {
    static const char* const kNames[] = {"ok",
                                         "end",
                                         "not-an-archive",
                                         "corrupt",
                                         "unsupported",
                                         "missing-volume",
                                         "needs-password",
                                         "bad-password",
                                         "crc",
                                         "cancelled",
                                         "read-error",
                                         "chain-broken",
                                         "invalid"};
    std::vector<MemoryVolumeProvider::Volume> list;
    for (const Bytes& v : volumes) {
        list.push_back({v.data(), v.size()});
    }
    MemoryVolumeProvider provider(list);
    Archive archive(provider);
    Status status = archive.open();
    std::string out;
    while (status == Status::Ok && (status = archive.nextEntry()) == Status::Ok) {
        std::string data;
        const Status entry = archive.extractEntry([&](std::span<const std::uint8_t> bytes) {
            data.append(bytes.begin(), bytes.end());
            return data != "cancel";
        });
        out +=
            archive.entry().name + ":" + kNames[int(entry)] + (entry == Status::Ok ? ":" + data : "") + " ";
    }
    return out + kNames[int(status)];
}

// A member of method `method` holding `steps`, declared to decode to `output`.
Bytes compressed(std::uint8_t method, const std::vector<Step>& steps, const std::string& output) {
    FileFields file{"f", compressedStream(steps)};
    file.method = method;
    file.originalSize = output.size();
    file.crc = aceCrc32({reinterpret_cast<const std::uint8_t*>(output.data()), output.size()});
    return concat({mainBlock(0), fileBlock(file)});
}

FileFields with(FileFields f, void (*change)(FileFields&)) {
    change(f);
    return f;
}

// An archive of the entry `f`, changed by `change`, then an entry that is fine.
Bytes thenOk(const FileFields& f, void (*change)(FileFields&)) {
    return concat({mainBlock(0), fileBlock(with(f, change)), fileBlock({"ok", "fine"})});
}

TEST(SyntheticArchive, WalksGiveWhatTheBlocksSay) {
    constexpr unsigned kSwitch = 283;
    constexpr unsigned kNearMatch = 260; // new distance 0: repeat the last byte, length 2
    const Step toDelta = {kSwitch}, d1 = bitsOf(1, 8),
               d0 = bitsOf(0, 8); // d1, d0: a mode number or parameter
    const FileFields ok{"ok", "fine"};
    // A member split over two volumes; earlier segments hold a partial CRC.
    const std::string joined = "first half, second half";
    FileFields head{"split", "first half, "}, tail{"split", "second half"};
    head.flags = 0x2001, tail.flags = 0x1001, head.originalSize = tail.originalSize = 23,
    head.crc = 0x0BAD0BAD;
    tail.crc = aceCrc32({reinterpret_cast<const std::uint8_t*>(joined.data()), joined.size()});
    const Bytes vol0 = concat({mainBlock(0x0800, 0), fileBlock(head)});
    const Bytes vol1 = concat({mainBlock(0x0800, 1), fileBlock(tail), fileBlock({"next", "whole"})});
    Bytes stub = {'M', 'Z'};
    stub.resize(3000, 0x90);
    Bytes decoy = mainBlock(0); // the signature where a main header would put it, but a wrong CRC
    decoy[0] ^= 0xFF;
    stub = concat({stub, decoy, {'j', '*', '*', 'A', 'C', 'E', '*', '*', 'j'}});
    Bytes badHeader = fileBlock({"x", "x"});
    badHeader[0] ^= 1;
    const struct {
        const char* what;
        std::vector<Bytes> volumes;
        std::string walk;
    } cases[] = {
        {"64-bit sizes",
         {thenOk({"big", "64 bit"}, [](auto& f) { f.wide = true; })},
         "big:ok:64 bit ok:ok:fine end"},
        {"an empty entry without the data flag, then zero padding",
         {concat({mainBlock(0), fileBlock(with({"empty", ""}, [](auto& f) { f.flags = 0; })), Bytes(3, 0)})},
         "empty:ok: end"},
        {"a stub with decoys before the archive",
         {concat({stub, mainBlock(0x0200), fileBlock({"a", "found"})})},
         "a:ok:found end"},
        {"a stub with decoys only", {stub}, "not-an-archive"},
        {"a member over two volumes", {vol0, vol1}, "split:ok:first half, second half next:ok:whole end"},
        {"a set opened at a later volume skips the orphan tail", {vol1}, "next:ok:whole end"},
        {"a continuation without its beginning",
         {concat({mainBlock(0), fileBlock(ok), fileBlock(tail)})},
         "ok:ok:fine corrupt"},
        {"a volume that continues another entry",
         {vol0, concat({mainBlock(0x0800, 1), fileBlock(with(tail, [](auto& f) { f.name = "other"; }))})},
         "split:corrupt corrupt"},
        {"an unknown method, then an entry that is fine",
         {thenOk({"m", "data"}, [](auto& f) { f.method = 7; })},
         "m:unsupported ok:ok:fine end"},
        {"a wrong CRC", {thenOk({"c", "data"}, [](auto& f) { f.crc = 0x12345678; })}, "c:crc ok:ok:fine end"},
        {"stored data shorter than its size",
         {thenOk({"s", "data"}, [](auto& f) { f.originalSize = 5; })},
         "s:corrupt ok:ok:fine end"},
        {"a huge size over little data",
         {concat({mainBlock(0),
                  fileBlock(with({"h", std::string(64, '\0')},
                                 [](auto& f) { f.method = 1, f.wide = true, f.originalSize = ~0ull - 1; })),
                  fileBlock(ok)})},
         "h:corrupt ok:ok:fine end"},
        {"encrypted without a password",
         {thenOk({"e", std::string(16, 'x')}, [](auto& f) { f.flags = 0x4001; })},
         "e:needs-password ok:ok:fine end"},
        {"a sink that cancels", {concat({mainBlock(0), fileBlock({"a", "cancel"})})}, "a:cancelled end"},
        {"data the header does not announce",
         {concat({mainBlock(0), fileBlock(ok), fileBlock(with({"n", "abc"}, [](auto& f) { f.flags = 0; }))})},
         "ok:ok:fine corrupt"},
        {"data past the end",
         {concat({mainBlock(0), fileBlock(ok),
                  fileBlock(with({"p", "abc"}, [](auto& f) { f.packedSize = 1000; }))})},
         "ok:ok:fine corrupt"},
        {"a header CRC", {concat({mainBlock(0), fileBlock(ok), badHeader})}, "ok:ok:fine corrupt"},
        {"garbage after an entry", {concat({mainBlock(0), fileBlock(ok), {1, 2, 3}})}, "ok:ok:fine corrupt"},
        {"a block of size 0", {concat({mainBlock(0), fileBlock(ok), {0, 0, 2, 0}})}, "ok:ok:fine corrupt"},
        {"DELTA block: running sum, then planes interleaved",
         {compressed(2,
                     {{'A'},
                      toDelta,
                      d1,
                      bitsOf(2, 8),
                      bitsOf(6, 17),
                      {1},
                      {1},
                      {1},
                      {5},
                      {0},
                      {0},
                      {kSwitch},
                      d0,
                      {'Z'}},
                     "A\x01\x08\x02\x08\x03\x08Z")},
         "f:ok:A\x01\x08\x02\x08\x03\x08Z end"},
        {"DELTA sum carries into the next block",
         {compressed(2, {toDelta, d1, d1, bitsOf(2, 17), {1}, {1}, {kSwitch}, d1, d1, bitsOf(1, 17), {1}},
                     "\x01\x02\x03")},
         "f:ok:\x01\x02\x03 end"},
        {"overlapping match", {compressed(1, {{'A'}, {kNearMatch}}, "AAA")}, "f:ok:AAA end"},
        {"DELTA payload not followed by a mode switch",
         {compressed(2, {toDelta, d1, d1, bitsOf(1, 17), {7}, {'Z'}}, "\x07Z")},
         "f:corrupt end"},
        {"mode switch inside a DELTA payload",
         {compressed(2, {toDelta, d1, d1, bitsOf(2, 17), {7}, {kSwitch}, d0}, "\x07\x07")},
         "f:corrupt end"},
        {"DELTA distance 0", {compressed(2, {toDelta, d1, d0, bitsOf(0, 17), {'A'}}, "A")}, "f:corrupt end"},
        {"DELTA longer than the member",
         {compressed(2, {toDelta, d1, d1, bitsOf(4, 17)}, "AB")},
         "f:corrupt end"},
        {"mode number 8", {compressed(2, {{'A'}, {kSwitch}, bitsOf(8, 8), {'B'}}, "AB")}, "f:corrupt end"},
        {"ACE 1.0 data has no mode switch",
         {compressed(1, {{'A'}, {kSwitch}, d0, {'B'}}, "AB")},
         "f:corrupt end"},
        {"match before the start of the data", {compressed(1, {{kNearMatch}}, "AA")}, "f:corrupt end"},
        {"match past the declared size", {compressed(1, {{'A'}, {kNearMatch}}, "AA")}, "f:corrupt end"},
        {"stream ends early", {compressed(1, {{'A'}}, std::string(42, 'A'))}, "f:corrupt end"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(walk(c.volumes), c.walk) << c.what;
    }
}

} // namespace
} // namespace brisko::acedec
