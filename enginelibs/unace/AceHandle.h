#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "acedec/Archive.h"
#include "acedec/VolumeProvider.h"
#include "api/briskoguard.h"
#include "api/unace.h"
#include "common/Destination.h"
#include "common/RunGuard.h"

namespace brisko::enginelib::ace {

// Everything one ACEOpenArchive call opened: the volume set, the decoder walking it, the password and
// the destination. The exported functions check a handle with isHandle() before they use it.
class AceHandle {
public:
    static constexpr std::uint32_t kMagic = 0x41636548; // "HecA"

    // 0 or the ACE_ code that ACEOpenArchive reports.
    int open(const char* path, unsigned mode);
    // 0 with the next entry in `header`, ACE_END, or an error code. An entry of a solid archive that
    // was passed over without being decoded is decoded (and dropped) first, so later ones still can be.
    int readHeader(AceHeaderRecord& header);
    // Writes the current entry below `destFolder` (see api/unace.h for the codes).
    int processFile(int operation, const char* destFolder);
    void setPassword(const char* password);
    void setGuard(const BriskoGuard* guard);
    // Gives the folders made their modes and times and forgets the password. Always 0.
    int close();

    std::uint32_t magic() const { return m_magic; }
    void invalidate() { m_magic = 0; }

private:
    int openDestination(const char* destFolder);
    int rewind();
    int extractFile(const SafePath& path, const timespec& mtime);
    std::string volumePath(unsigned index) const;

    std::uint32_t m_magic = kMagic;
    RunGuard m_guard; // before the volumes, which report to it
    std::string m_path;
    std::unique_ptr<acedec::FileVolumeProvider> m_volumes;
    std::unique_ptr<acedec::Archive> m_archive;
    std::optional<std::string> m_password;
    bool m_hasEntry = false;
    bool m_decoded = false;        // the current entry went through the decoder (whatever the outcome)
    std::uint64_t m_index = 0;     // of the current entry, counted from 0
    bool m_passwordFailed = false; // the current entry of a solid archive failed on its password
    std::unique_ptr<Destination> m_destination;
    std::string m_destinationRoot;
};

// The code the C interface reports for a decoder status other than Ok.
int codeOf(acedec::Status status);

// The modification time an MS-DOS date and time (local time) stands for; "now" when the fields do
// not form a date.
timespec timeOfDos(std::uint32_t dosTime);

// Registers a live handle; isHandle() is true for exactly the registered ones, so a stale or foreign
// pointer is recognised without reading through it.
void registerHandle(AceHandle* handle);
void unregisterHandle(AceHandle* handle);
bool isHandle(void* pointer);

} // namespace brisko::enginelib::ace
