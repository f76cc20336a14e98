#include "unace/AceHandle.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>

#include "common/FileModes.h"
#include "common/HandleRegistry.h"

namespace brisko::enginelib::ace {

// The published records are read by callers built separately: their layout must not drift.
static_assert(sizeof(void*) == 8, "the records are laid out for a 64-bit system");
static_assert(offsetof(AceOpenRecord, OpenMode) == 8 && offsetof(AceOpenRecord, OpenResult) == 12 &&
              offsetof(AceOpenRecord, Signature) == 24 && offsetof(AceOpenRecord, CmtBuf) == 80 &&
              offsetof(AceOpenRecord, CmtState) == 96 && offsetof(AceOpenRecord, Reserved2) == 100 &&
              sizeof(AceOpenRecord) == 112);
static_assert(offsetof(AceHeaderRecord, FileName) == 260 && offsetof(AceHeaderRecord, Flags) == 520 &&
              offsetof(AceHeaderRecord, FileCRC) == 536 && offsetof(AceHeaderRecord, FileAttr) == 548 &&
              offsetof(AceHeaderRecord, CmtBuf) == 552 && offsetof(AceHeaderRecord, CmtState) == 568 &&
              sizeof(AceHeaderRecord) == 576);

namespace {

using acedec::Status;

// ACE archives come from DOS and Windows, whose names use '\'; a '\' in a name made on Unix is rare
// enough that treating it as a separator is the safe reading.
constexpr Separators kAceSeparators = Separators::SlashAndBackslash;
constexpr std::size_t kNameField = 260;

HandleRegistry<AceHandle> g_handles;

void copyName(char* field, const std::string& text) {
    std::size_t size = std::min(text.size(), kNameField - 1);
    // Cut at a character boundary.
    while (size > 0 && size < text.size() && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) {
        --size;
    }
    std::memcpy(field, text.data(), size);
    field[size] = '\0';
}

bool exists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

} // namespace

int codeOf(Status status) {
    switch (status) {
    case Status::Ok:
        return ACE_SUCCESS;
    case Status::EndOfArchive:
        return ACE_END;
    case Status::MissingVolume:
        return ACE_ERR_OPEN;
    case Status::NeedsPassword:
    case Status::BadPassword:
        return ACE_ERR_PASSWORD;
    case Status::Unsupported:
        return ACE_ERR_UNSUPPORTED;
    case Status::NotAnArchive:
    case Status::Corrupt:
    case Status::CrcMismatch:
    case Status::ReadError:
    case Status::SolidChainBroken:
    case Status::Cancelled:
    case Status::InvalidCall:
        break;
    }
    return ACE_ERR_DAMAGED;
}

timespec timeOfDos(std::uint32_t dosTime) {
    std::tm fields{};
    fields.tm_sec = static_cast<int>(dosTime & 0x1F) * 2;
    fields.tm_min = static_cast<int>((dosTime >> 5) & 0x3F);
    fields.tm_hour = static_cast<int>((dosTime >> 11) & 0x1F);
    fields.tm_mday = static_cast<int>((dosTime >> 16) & 0x1F);
    fields.tm_mon = static_cast<int>((dosTime >> 21) & 0x0F) - 1;
    fields.tm_year = static_cast<int>(dosTime >> 25) + 80;
    fields.tm_isdst = -1; // the archive recorded wall-clock time; let the zone rules decide
    if (fields.tm_mday == 0 || fields.tm_mon < 0 || fields.tm_mon > 11 || fields.tm_hour > 23 ||
        fields.tm_min > 59 || fields.tm_sec > 59) {
        return timespec{0, UTIME_NOW};
    }
    const std::time_t seconds = std::mktime(&fields);
    if (seconds == static_cast<std::time_t>(-1)) {
        return timespec{0, UTIME_NOW};
    }
    return timespec{seconds, 0};
}

void registerHandle(AceHandle* handle) {
    g_handles.add(handle);
}

void unregisterHandle(AceHandle* handle) {
    g_handles.remove(handle);
}

bool isHandle(void* pointer) {
    return g_handles.contains(pointer);
}

int AceHandle::open(const char* path, unsigned mode) {
    if (mode != ACE_OPEN_EXTRACT) {
        return ACE_ERR_UNSUPPORTED;
    }
    if (path == nullptr || *path == '\0') {
        return ACE_ERR_OPEN;
    }
    m_path = path;
    m_volumes = std::make_unique<acedec::FileVolumeProvider>(m_path);
    m_archive = std::make_unique<acedec::Archive>(*m_volumes);
    const Status status = m_archive->open();
    if (status == Status::Ok) {
        return 0;
    }
    return status == Status::ReadError ? ACE_ERR_OPEN : codeOf(status);
}

void AceHandle::setPassword(const char* password) {
    if (m_password) {
        explicit_bzero(m_password->data(), m_password->size());
    }
    m_password = std::string(password != nullptr ? password : "");
    m_archive->setPassword(*m_password);
}

void AceHandle::setGuard(const BriskoGuard* guard) {
    m_guard.set(guard);
    m_volumes->observe([this](const std::string& path, const struct stat& info) { m_guard.fileRead(path, info); });
}

std::string AceHandle::volumePath(unsigned index) const {
    if (index == 0) {
        return m_path;
    }
    // The decoder's provider tries the case of the first volume's extension first, then the other.
    const std::size_t slash = m_path.rfind('/');
    const std::size_t dot = m_path.rfind('.');
    const bool upper = dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
                       dot + 1 < m_path.size() && m_path[dot + 1] >= 'A' && m_path[dot + 1] <= 'Z';
    std::string name = acedec::volumeFileName(m_path, index, upper);
    if (!exists(name)) {
        const std::string other = acedec::volumeFileName(m_path, index, !upper);
        if (exists(other)) {
            name = other;
        }
    }
    return name;
}

int AceHandle::readHeader(AceHeaderRecord& header) {
    if (m_hasEntry && !m_decoded && m_archive->info().solid && !m_archive->entry().isDirectory) {
        // Its bytes are part of the window the later entries refer to. A failure here shows up as
        // the failure of the entries that needed it.
        m_archive->skipEntry();
    }
    if (m_hasEntry) {
        ++m_index;
    }
    m_hasEntry = false;
    m_passwordFailed = false;
    const Status status = m_archive->nextEntry();
    if (status != Status::Ok) {
        return codeOf(status);
    }
    m_hasEntry = true;
    m_decoded = false;
    const acedec::Entry& entry = m_archive->entry();
    std::string name = entry.name;
    std::replace(name.begin(), name.end(), '\\', '/');
    // The caller's comment buffer stays its own: no comments are handed out.
    std::memset(header.ArcName, 0, sizeof header.ArcName);
    std::memset(header.FileName, 0, sizeof header.FileName);
    header.CmtSize = 0;
    header.CmtState = 0;
    copyName(header.ArcName, volumePath(entry.firstVolume));
    copyName(header.FileName, name);
    header.Flags = entry.headerFlags;
    header.PackSize = static_cast<unsigned>(entry.packedSize);
    header.UnpSize = static_cast<unsigned>(entry.originalSize);
    header.HostOS = m_archive->info().hostOs;
    header.FileCRC = ~entry.crc;
    header.FileTime = entry.dosTime;
    header.Method = entry.method;
    header.FileAttr = entry.attributes;
    return 0;
}

int AceHandle::close() {
    if (m_destination) {
        m_destination->finish();
        m_destination.reset();
    }
    if (m_password) {
        explicit_bzero(m_password->data(), m_password->size());
        m_password.reset();
    }
    if (m_archive) {
        m_archive->clearPassword();
    }
    return 0;
}

int AceHandle::openDestination(const char* destFolder) {
    std::string root = destFolder != nullptr && *destFolder != '\0' ? destFolder : ".";
    while (root.size() > 1 && root.back() == '/') {
        root.pop_back();
    }
    if (!m_destination || m_destinationRoot != root) {
        if (m_destination) {
            m_destination->finish();
        }
        m_destination = std::make_unique<Destination>(root, &m_guard);
        m_destinationRoot = root;
    }
    return m_destination->isOpen() ? 0 : ACE_ERR_CREATE;
}

int AceHandle::rewind() {
    // A solid archive decodes each entry once, so a second try at an entry whose password was wrong
    // walks the set again from the start, decoding everything before it with the password now set.
    auto archive = std::make_unique<acedec::Archive>(*m_volumes);
    Status status = archive->open();
    if (status != Status::Ok) {
        return status == Status::ReadError ? ACE_ERR_OPEN : codeOf(status);
    }
    if (m_password) {
        archive->setPassword(*m_password);
    }
    for (std::uint64_t i = 0; i <= m_index; ++i) {
        status = archive->nextEntry();
        if (status != Status::Ok) {
            return status == Status::EndOfArchive ? ACE_ERR_DAMAGED : codeOf(status);
        }
        if (i < m_index && !archive->entry().isDirectory) {
            status = archive->skipEntry();
            if (status != Status::Ok) {
                return codeOf(status);
            }
        }
    }
    m_archive = std::move(archive);
    m_decoded = false;
    m_passwordFailed = false;
    return 0;
}

int AceHandle::processFile(int operation, const char* destFolder) {
    if (!m_hasEntry) {
        return ACE_ERR_HANDLE;
    }
    if (operation != ACE_EXTRACT) {
        return ACE_ERR_UNSUPPORTED;
    }
    if (m_passwordFailed) {
        const int rewound = rewind();
        if (rewound != 0) {
            return rewound;
        }
    }
    const acedec::Entry& entry = m_archive->entry();
    SafePath path;
    if (sanitiseEntryName(entry.name, kAceSeparators, path) != NameVerdict::Safe) {
        return ACE_ERR_CREATE;
    }
    const int opened = openDestination(destFolder);
    if (opened != 0) {
        return opened;
    }
    const timespec mtime = timeOfDos(entry.dosTime);
    if (entry.isDirectory) {
        bool created = false;
        const Outcome outcome = m_destination->makeFolder(path, 0, mtime, created);
        return outcome == Outcome::Done ? 0 : ACE_ERR_CREATE;
    }
    return extractFile(path, mtime);
}

int AceHandle::extractFile(const SafePath& path, const timespec& mtime) {
    ExistingTarget existing;
    Outcome outcome = m_destination->lookup(path, existing);
    if (outcome == Outcome::Done && existing.kind == ExistingTarget::Kind::Folder) {
        outcome = Outcome::Conflict;
    }
    if (outcome != Outcome::Done) {
        return ACE_ERR_CREATE;
    }
    // DOS attributes carry no permissions: the usual modes apply.
    PendingFile file;
    outcome = m_destination->beginFile(path, 0, file, m_archive->entry().originalSize);
    if (outcome == Outcome::NoRoom || (outcome == Outcome::Failed && m_destination->error() == ENOSPC)) {
        return ACE_ERR_WRITE;
    }
    if (outcome != Outcome::Done) {
        return ACE_ERR_CREATE;
    }
    bool writeFailed = false;
    const Status status = m_archive->extractEntry([&](std::span<const std::uint8_t> bytes) {
        if (!file.write(bytes.data(), bytes.size())) {
            writeFailed = true;
            return false;
        }
        return true;
    });
    // Without a password nothing was consumed: the same call may come again with one.
    m_decoded = status != Status::NeedsPassword;
    m_passwordFailed = status == Status::BadPassword && m_archive->info().solid;
    if (writeFailed) {
        return file.cancelled() ? BRISKO_CANCELLED : ACE_ERR_WRITE;
    }
    if (status != Status::Ok) {
        file.abandon();
        return codeOf(status);
    }
    outcome = file.commit(mtime);
    if (outcome == Outcome::Failed && (file.error() == ENOSPC || file.error() == EIO)) {
        return ACE_ERR_WRITE;
    }
    return outcome == Outcome::Done ? 0 : ACE_ERR_CREATE;
}

} // namespace brisko::enginelib::ace
