#include "support/RarFixtures.h"

#include <cstdint>
#include <fstream>

#include "support/ArchiveBytes.h"

namespace brisko::test {
namespace {

// One file header with its data piece.
Bytes Rar4Entry(const RarItem& item, const std::string& piece, bool continued, bool continues) {
    std::string name = item.name;
    for (char& c : name) {
        c = c == '/' ? '\\' : c;
    }
    const bool folder = item.kind == RarItem::Kind::Folder;
    const std::uint32_t attr = folder ? 040755 : item.kind == RarItem::Kind::Link ? 0120777 : 0100644;
    const std::uint32_t flags = 0x8000 | (folder ? 0xE0 : 0) | (continued ? 1 : 0) | (continues ? 2 : 0);
    Bytes body;
    body.push_back(0x74);
    Le(body, flags, 2);
    Le(body, 32 + name.size(), 2);
    Le(body, piece.size(), 4);
    Le(body, item.data.size(), 4);
    body.push_back(3);
    Le(body, continues ? Crc(piece) : Crc(item.data), 4);
    Le(body, kDosTime, 4);
    body.push_back(20);
    body.push_back(0x30);
    Le(body, name.size(), 2);
    Le(body, attr, 4);
    body.insert(body.end(), name.begin(), name.end());
    Bytes out = Rar4Block(body);
    out.insert(out.end(), piece.begin(), piece.end());
    return out;
}

Bytes Rar5Entry(const RarItem& item, const std::string& piece, bool continued, bool continues) {
    const bool folder = item.kind == RarItem::Kind::Folder;
    const bool link = item.kind == RarItem::Kind::Link;
    Bytes extra;
    if (link) {
        Bytes record;
        Vint(record, 5);
        Vint(record, 1);
        Vint(record, 0);
        Vint(record, item.data.size());
        record.insert(record.end(), item.data.begin(), item.data.end());
        Vint(extra, record.size());
        extra.insert(extra.end(), record.begin(), record.end());
    }
    const std::string& data = link ? std::string() : piece;
    Bytes body;
    Vint(body, 2);
    Vint(body, 0x2 | (extra.empty() ? 0 : 0x1) | (continued ? 0x8 : 0) | (continues ? 0x10 : 0));
    if (!extra.empty()) {
        Vint(body, extra.size());
    }
    Vint(body, data.size());
    Vint(body, (folder ? 0x1 : 0) | 0x2 | 0x4);
    Vint(body, link || folder ? 0 : item.data.size());
    Vint(body, folder ? 040755 : link ? 0120777 : 0100644);
    Le(body, 1600000000, 4);
    Le(body, link || folder ? 0 : continues ? Crc(piece) : Crc(item.data), 4);
    Vint(body, 0);
    Vint(body, 1);
    Vint(body, item.name.size());
    body.insert(body.end(), item.name.begin(), item.name.end());
    body.insert(body.end(), extra.begin(), extra.end());
    Bytes out = Rar5Block(body);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::string VolumeName(const std::string& base, int index, int count, bool oldNaming) {
    if (count == 1) {
        return base + ".rar";
    }
    if (oldNaming) {
        if (index == 0) {
            return base + ".rar";
        }
        const std::string number = std::to_string(index - 1);
        return base + ".r" + (number.size() < 2 ? "0" : "") + number;
    }
    return base + ".part" + std::to_string(index + 1) + ".rar";
}

} // namespace

std::vector<std::string> WriteRar(const std::string& base, const std::vector<RarItem>& items,
                                  RarFormat format, int volumes, bool oldNaming) {
    std::vector<std::string> paths;
    const bool set = volumes > 1;
    for (int v = 0; v < volumes; ++v) {
        const bool last = v + 1 == volumes;
        Bytes out;
        if (format == RarFormat::Rar4) {
            out = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
            const std::uint32_t flags = set ? (0x0001 | (v == 0 ? 0x0100 : 0) | (oldNaming ? 0 : 0x0010)) : 0;
            Bytes main{0x73};
            Le(main, flags, 2);
            Le(main, 13, 2);
            Le(main, 0, 6);
            const Bytes block = Rar4Block(main);
            out.insert(out.end(), block.begin(), block.end());
        } else {
            out = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
            Bytes main;
            Vint(main, 1);
            Vint(main, 0);
            Vint(main, set ? (0x1 | (v > 0 ? 0x2 : 0)) : 0);
            if (set && v > 0) {
                Vint(main, static_cast<std::uint64_t>(v));
            }
            const Bytes block = Rar5Block(main);
            out.insert(out.end(), block.begin(), block.end());
        }
        for (std::size_t i = 0; i < items.size(); ++i) {
            const RarItem& item = items[i];
            std::string piece = item.data;
            bool continued = false;
            bool continues = false;
            if (set && i == 0) {
                const std::size_t share = item.data.size() / static_cast<std::size_t>(volumes);
                const std::size_t start = share * static_cast<std::size_t>(v);
                piece = last ? item.data.substr(start) : item.data.substr(start, share);
                continued = v > 0;
                continues = !last;
            } else if (set && !last) {
                continue;
            }
            const Bytes entry = format == RarFormat::Rar4 ? Rar4Entry(item, piece, continued, continues)
                                                          : Rar5Entry(item, piece, continued, continues);
            out.insert(out.end(), entry.begin(), entry.end());
            if (set && i == 0 && !last) {
                break;
            }
        }
        if (format == RarFormat::Rar4) {
            Bytes end{0x7B};
            Le(end, 0x4000 | (set ? 0x0008 : 0) | (last ? 0 : 0x0001), 2);
            Le(end, set ? 9 : 7, 2);
            if (set) {
                Le(end, static_cast<std::uint64_t>(v), 2);
            }
            const Bytes block = Rar4Block(end);
            out.insert(out.end(), block.begin(), block.end());
        } else {
            const Bytes block = Rar5Block({5, 0, static_cast<std::uint8_t>(last ? 0 : 1)});
            out.insert(out.end(), block.begin(), block.end());
        }
        paths.push_back(VolumeName(base, v, volumes, oldNaming));
        std::ofstream(paths.back(), std::ios::binary)
            .write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    }
    return paths;
}

} // namespace brisko::test
