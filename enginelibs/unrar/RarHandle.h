#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

#include "api/briskoguard.h"
#include "api/unrar.h"
#include "common/Destination.h"
#include "common/RunGuard.h"
#include "rardec/Decoder.h"
#include "unrar/Archive.h"
#include "unrar/PlainStream.h"

namespace brisko::enginelib::rar {

// Everything one RAROpenArchive call opened: the volume set, its scanned headers, the password and
// the destination. The exported functions check a handle with isHandle() before they use it.
class RarHandle {
public:
    static constexpr std::uint32_t kMagic = 0x52617248; // "HraR"

    // 0 or the ERAR_ code that RAROpenArchive reports.
    int open(const char* path, unsigned mode);
    int readHeader(RARHeaderData& header);
    int processFile(int operation, const char* destPath, const char* destName);
    void setPassword(const char* password);
    void setGuard(const BriskoGuard* guard);
    int close();

    std::uint32_t magic() const { return m_magic; }
    void invalidate() { m_magic = 0; }

private:
    int scan();
    int extract(const Entry& entry, bool write, const char* destPath, const char* destName);
    int resolveTarget(const Entry& entry, const char* destPath, const char* destName, SafePath& path);
    int dataSegment(const Entry& entry, Segment& segment);
    // Decodes the entry's data into `file` (null: nothing is kept, as when testing) or, for a link
    // whose target is its data, makes the link at `path`; then checks the checksum.
    int decode(std::size_t index, const Entry& entry, PendingFile* file, const SafePath* path);
    int decodeOwn(std::size_t index, const Entry& entry, PendingFile* file, const SafePath* path);
    int decodeWithLibarchive(std::size_t index, const Entry& entry, PendingFile* file, const SafePath* path);
    // Brings the decoder to the state the entry at `index` starts from: through every entry of its
    // solid stream before it. 0 or an ERAR_ code; `solid` is cleared when nothing comes before it.
    int prepareDecoder(std::size_t index, bool& solid);
    int runDecoder(const Entry& entry, bool solid, rardec::Output& output);
    bool continuesStream(std::size_t index) const;
    // The dictionary a decoder for the archive needs: the largest its entries announce (small files
    // announce less than the stream they continue may use).
    std::size_t dictionaryFor(const Entry& entry) const;
    int checkData(const Entry& entry, std::uint64_t size, std::uint32_t crc, const std::uint8_t* blake);
    const Rar5Keys* rar5Keys(const Entry& entry);

    std::uint32_t m_magic = kMagic;
    RunGuard m_guard; // before the volumes, which report to it
    Volumes m_volumes;
    Archive m_archive;
    KeyCache m_keys;
    std::optional<std::string> m_password;
    bool m_listOnly = true;
    bool m_scanned = false;
    std::size_t m_next = 0;
    long m_current = -1;
    // Our decoder, kept from entry to entry: a solid stream is decoded once, in order.
    std::unique_ptr<rardec::Decoder> m_decoder;
    unsigned m_decoderVersion = 0;
    std::size_t m_decoderDictionary = 0;
    bool m_decoderExtended = false; // RAR 7's distance alphabet
    std::size_t m_largestDictionary = 0; // of the compressed entries
    long m_decodedThrough = -1; // the last entry whose data went through m_decoder without a fault
    std::unique_ptr<Destination> m_destination;
    std::string m_destinationRoot;
    std::unordered_set<std::string> m_extracted; // files this handle wrote into m_destination
};

// Registers a live handle; isHandle() is true for exactly the registered ones, so a stale or foreign
// pointer is recognised without reading through it.
void registerHandle(RarHandle* handle);
void unregisterHandle(RarHandle* handle);
bool isHandle(void* pointer);

} // namespace brisko::enginelib::rar
