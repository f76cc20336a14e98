#include "rardec/SampleEntries.h"

#include <filesystem>
#include <zlib.h>

#include "rardec/Unpack50.h"
#include "unrar/Archive.h"
#include "unrar/PlainStream.h"

namespace brisko::test {

namespace {

class VectorInput : public rardec::PackedInput {
public:
    explicit VectorInput(const std::vector<std::uint8_t>& bytes) : m_bytes(bytes) {}
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

class CrcOutput : public rardec::Output {
public:
    bool write(const std::uint8_t* data, std::size_t size) override {
        crc = static_cast<std::uint32_t>(::crc32(crc, data, static_cast<uInt>(size)));
        written += size;
        return true;
    }
    std::uint32_t crc = 0;
    std::uint64_t written = 0;
};

} // namespace

bool SamplesPresent() {
    return std::filesystem::exists(kRarSamples + "/MANIFEST.txt");
}

std::vector<PackedEntry> PackedEntries(const std::string& path) {
    using namespace enginelib::rar;
    std::vector<PackedEntry> out;
    Volumes volumes;
    volumes.add(kRarSamples + "/" + path);
    KeyCache keys;
    Archive archive;
    bool needsPassword = false;
    if (!volumes.open(0) || scanArchive(volumes, nullptr, keys, archive, needsPassword) != 0) {
        return out;
    }
    bool first = true;
    for (const Entry& entry : archive.entries) {
        if (entry.folder || entry.redirect != Redirect::None) {
            continue;
        }
        PackedEntry packed;
        packed.name = entry.name;
        packed.unpackedSize = entry.unpackedSize;
        packed.crc = entry.crc;
        packed.unpackVersion = entry.unpackVersion;
        packed.method = entry.method;
        packed.dictionary = std::size_t(64 * 1024) << ((entry.compression >> 5) & 7);
        packed.solid = entry.solid || (archive.solid && entry.unpackVersion <= 15 && !first);
        if (entry.unpackVersion == 50) {
            const rardec::Rar5Compression compression = rardec::parseRar5Compression(entry.compression);
            packed.dictionary = static_cast<std::size_t>(compression.dictionary);
            packed.extendedDistances = compression.extendedDistances;
            packed.hasCrc = entry.hasCrc;
            packed.hasBlake = entry.hasBlake;
            std::copy_n(entry.blake, 32, packed.blake);
        }
        packed.encrypted = entry.encrypted;
        packed.hasSalt = entry.hasSalt;
        std::copy_n(entry.salt, 8, packed.salt);
        packed.packed.resize(entry.packedSize);
        if (!readPieces(volumes, entry.pieces, 0, packed.packed.data(), packed.packed.size())) {
            packed.packed.clear();
        }
        out.push_back(std::move(packed));
        first = false;
    }
    return out;
}

DecodeResult DecodeOne(rardec::Decoder& decoder, const PackedEntry& entry, bool solid) {
    VectorInput input(entry.packed);
    CrcOutput output;
    DecodeResult result;
    result.status = decoder.decode(input, entry.packed.size(), entry.unpackedSize, solid, output);
    result.size = output.written;
    result.crc = output.crc;
    return result;
}

std::vector<DecodeResult> DecodeAll(const std::vector<PackedEntry>& entries) {
    std::vector<DecodeResult> results;
    std::unique_ptr<rardec::Decoder> decoder;
    for (const PackedEntry& entry : entries) {
        if (entry.method == 0x30) {
            CrcOutput output;
            output.write(entry.packed.data(), entry.packed.size());
            results.push_back({rardec::Status::Ok, output.written, output.crc});
            continue;
        }
        if (!decoder) {
            decoder = rardec::makeDecoder(entry.unpackVersion, entry.dictionary);
        }
        if (!decoder) {
            results.push_back({rardec::Status::Unsupported, 0, 0});
            continue;
        }
        results.push_back(DecodeOne(*decoder, entry, entry.solid));
    }
    return results;
}

} // namespace brisko::test
