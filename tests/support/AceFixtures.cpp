#include "support/AceFixtures.h"

#include <fstream>

#include "support/ArchiveBytes.h"

namespace brisko::test {
namespace {

// A block: the low 16 bits of the header's CRC and its size in front of the header (type byte
// onwards), then the data that follows it.
Bytes Block(const Bytes& header, const std::string& data = {}) {
    Bytes out;
    Le(out, Crc32Register(header) & 0xFFFFu, 2);
    Le(out, header.size(), 2);
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes MainBlock(std::uint8_t hostOs) {
    Bytes h = {0};
    Le(h, 0x0000, 2); // flags: no comment, no volumes, not solid
    for (const char c : std::string("**ACE**")) {
        h.push_back(static_cast<std::uint8_t>(c));
    }
    h.insert(h.end(), {20, 20, hostOs, 0}); // extract version, creator version, host, volume number
    Le(h, kDosTime, 4);
    Le(h, 0, 8);    // reserved
    h.push_back(0); // advert length
    return Block(h);
}

Bytes FileBlock(const AceItem& item) {
    const bool folder = (item.attributes & kAceAttrFolder) != 0;
    const std::string data = folder ? std::string() : item.data;
    Bytes h = {1};
    Le(h, 0x0001, 2); // the data size field is there (always, for ordinary entries)
    Le(h, data.size(), 4);
    Le(h, data.size(), 4);
    Le(h, kDosTime, 4);
    Le(h, item.attributes, 4);
    Le(h, Crc32Register(Bytes(data.begin(), data.end())), 4);
    h.push_back(0);   // method: stored
    h.push_back(3);   // quality
    Le(h, 0x000A, 2); // dictionary parameter
    Le(h, 0, 2);      // reserved
    Le(h, item.name.size(), 2);
    h.insert(h.end(), item.name.begin(), item.name.end());
    return Block(h, data);
}

} // namespace

void WriteAce(const std::string& path, const std::vector<AceItem>& items, std::uint8_t hostOs) {
    Bytes out = MainBlock(hostOs);
    for (const AceItem& item : items) {
        const Bytes block = FileBlock(item);
        out.insert(out.end(), block.begin(), block.end());
    }
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
}

} // namespace brisko::test
