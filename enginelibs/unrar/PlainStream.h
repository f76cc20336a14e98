#pragma once

#include <archive.h>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "unrar/Archive.h"
#include "unrar/LegacyCipher.h"

namespace brisko::enginelib::rar {

// One part of the byte stream handed to the decoder: literal bytes (headers written here), or data
// taken from the volumes, decrypted when a key is given, delivered up to `length` bytes.
struct Segment {
    std::vector<std::uint8_t> bytes;
    std::vector<Piece> pieces;
    bool decrypt = false; // AES with key and iv
    // One of the ciphers before AES, keyed by the password alone (our decoders only).
    std::optional<LegacyCipherKind> legacy;
    const std::string* password = nullptr;
    std::uint8_t key[32] = {};
    std::size_t keySize = 0;
    std::uint8_t iv[16] = {};
    std::uint64_t length = 0;
};

// A plain single-volume archive assembled from segments, read by the decoder through its callback.
class PlainStream {
public:
    PlainStream(Volumes& volumes, std::vector<Segment> segments);

    static la_ssize_t read(struct archive* reader, void* self, const void** block);
    // True when a volume could not be read while the decoder asked for data.
    bool volumeFailed() const { return m_volumeFailed; }

private:
    la_ssize_t next(const void** block);

    Volumes& m_volumes;
    std::vector<Segment> m_segments;
    std::size_t m_segment = 0;
    std::uint64_t m_done = 0; // of the current segment
    std::unique_ptr<CbcDecryptor> m_cipher;
    std::vector<std::uint8_t> m_buffer;
    bool m_volumeFailed = false;
};

// Reads `size` bytes at `offset` of the data the pieces make together.
bool readPieces(Volumes& volumes, const std::vector<Piece>& pieces, std::uint64_t offset, std::uint8_t* out,
                std::size_t size);

// The length of the RAR 5 compressed data at the start of an encrypted stream: its blocks up to the
// one marked last, without the cipher's padding. False when the blocks do not fit the data.
bool compressedLength(Volumes& volumes, const Segment& data, std::uint64_t cipherSize, std::uint64_t& length);

} // namespace brisko::enginelib::rar
