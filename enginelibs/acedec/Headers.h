#pragma once

#include "acedec/ByteSource.h"

#include <cstdint>
#include <string>
#include <vector>

namespace brisko::acedec {

// Block types and flags of the archive structure.
inline constexpr std::uint8_t kBlockMain = 0;
inline constexpr std::uint8_t kBlockFile32 = 1;
inline constexpr std::uint8_t kBlockFile64 = 3;

inline constexpr std::uint16_t kFlagAddSize = 0x0001;
inline constexpr std::uint16_t kFlagComment = 0x0002;
inline constexpr std::uint16_t kFlag64Bit = 0x0004;

inline constexpr std::uint16_t kMainSfx = 0x0200;
inline constexpr std::uint16_t kMainMultiVolume = 0x0800;
inline constexpr std::uint16_t kMainAdvert = 0x1000;
inline constexpr std::uint16_t kMainRecovery = 0x2000;
inline constexpr std::uint16_t kMainLocked = 0x4000;
inline constexpr std::uint16_t kMainSolid = 0x8000;

inline constexpr std::uint16_t kFileSecurity = 0x0400;
inline constexpr std::uint16_t kFileContinuesPrevious = 0x1000;
inline constexpr std::uint16_t kFileContinuesNext = 0x2000;
inline constexpr std::uint16_t kFileEncrypted = 0x4000;

inline constexpr std::uint32_t kAttrDirectory = 0x10;

// How far into a volume the main header is looked for (self-extracting stubs come first).
inline constexpr std::uint64_t kSearchLimit = 512 * 1024;

// One block as read from a volume: the header bytes with their CRC checked.
struct BlockHeader {
    std::uint64_t position = 0; // of the block's first byte in its volume
    std::uint8_t type = 0;
    std::uint16_t flags = 0;
    std::vector<std::uint8_t> bytes; // the checked header bytes, from the type byte to the end
    std::uint64_t addSize = 0;       // bytes of data following the header
    std::uint64_t dataPosition = 0;

    std::uint64_t end() const { return dataPosition + addSize; }
};

struct MainHeader {
    std::uint8_t versionToExtract = 0;
    std::uint8_t versionCreated = 0;
    std::uint8_t hostOs = 0;
    std::uint8_t volumeNumber = 0;
    std::uint32_t dosTime = 0;
    std::string advert;
    std::vector<std::uint8_t> packedComment;
};

struct FileHeader {
    std::uint16_t flags = 0;
    std::uint64_t packedSize = 0;
    std::uint64_t originalSize = 0;
    std::uint32_t dosTime = 0;
    std::uint32_t attributes = 0;
    std::uint32_t crc = 0;
    std::uint8_t method = 0;
    std::uint16_t params = 0;
    std::string name;
    std::vector<std::uint8_t> packedComment;
};

// Reads the block at `position` and checks its header CRC and that its data lies inside the volume.
// False at the exact end of the volume; throws DecodeError (Corrupt, ReadError) otherwise.
bool readBlock(const ByteSource& volume, std::uint64_t position, BlockHeader& block);

// Finds the main header: at the start of the volume or, behind a stub, at the first place within
// kSearchLimit where the signature sits in a block that checks out as a main header. Throws
// DecodeError(NotAnArchive) when there is none.
BlockHeader findMainHeader(const ByteSource& volume);

// Interpret a checked block; throw DecodeError(Corrupt) for fields that do not fit in the header.
MainHeader parseMainHeader(const BlockHeader& block);
FileHeader parseFileHeader(const BlockHeader& block);

} // namespace brisko::acedec
