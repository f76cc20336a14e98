#pragma once

#include <clocale>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <locale.h>
#include <memory>
#include <string>

#include "api/briskoguard.h"
#include "api/unzip32.h"
#include "common/Destination.h"
#include "common/RunGuard.h"
#include "unzip/ArchiveBytes.h"
#include "unzip/CentralDirectory.h"
#include "unzip/ParallelDecoder.h"
#include "unzip/ZipReader.h"

struct archive;
struct archive_entry;

namespace brisko::enginelib {

// Result codes of Wiz_SingleEntryUnzip.
inline constexpr int kZipOk = 0;
inline constexpr int kZipWarning = 1;
inline constexpr int kZipDamaged = 2;
inline constexpr int kZipBroken = 3;
inline constexpr int kZipNoMemory = 4;
inline constexpr int kZipNotZip = 9;
inline constexpr int kZipBadCall = 10;
inline constexpr int kZipWriteFailed = 50;
inline constexpr int kZipStopped = 80;
inline constexpr int kZipUnsupported = 81;
inline constexpr int kZipBadPassword = 82;

// Runs everything between the engine's entry point and its callbacks in the "C.UTF-8" locale, so
// that the reader hands out names in UTF-8 whatever the caller's locale is, and switches back to the
// caller's locale while a callback runs. Without a C.UTF-8 locale the caller's stays in force.
class Utf8Locale {
public:
    Utf8Locale();
    ~Utf8Locale();
    Utf8Locale(const Utf8Locale&) = delete;
    Utf8Locale& operator=(const Utf8Locale&) = delete;

    template <typename Call> auto asCaller(Call call) const {
        struct Back {
            locale_t to;
            ~Back() {
                if (to != nullptr) {
                    uselocale(to);
                }
            }
        } back{m_utf8};
        if (m_utf8 != nullptr) {
            uselocale(m_caller);
        }
        return call();
    }

    // The locale the engine's own threads run in (null: the caller's stays in force).
    locale_t engineLocale() const { return m_utf8; }

private:
    locale_t m_utf8 = nullptr;
    locale_t m_caller = nullptr;
};

// One call of Wiz_SingleEntryUnzip: it owns every bit of state of that call, so calls never share
// anything. Reads the archive with libarchive and writes through a Destination.
//
// Extracting, the calling thread goes through the entries in archive order and does everything a
// caller can see: callbacks, names and checks, folders and links, the duplicate policy, placing files,
// result codes. Worker threads (see ParallelDecoder) may decode file entries ahead of it; it takes their
// files in order, and decodes an entry itself whenever a worker did not deliver it whole. So what the
// caller sees (lines, prompts, files, result) is the same with workers or without. There are none for
// listing, for an archive with encrypted entries (passwords are asked on the calling thread, in
// order), where files cannot be made unnamed, and for archives too small to gain from them: fewer than
// two entries with data, or few bytes in all. BRISKO_ZIP_THREADS=n in the environment forces n
// workers (0: none) whatever the archive's size, so that tests can run the worker path on small ones.
class ZipExtraction {
public:
    // The pointers must stay valid while run() works. `callbacks` and `guard` may be null.
    ZipExtraction(int includeCount, char** includes, int excludeCount, char** excludes, const DCL& options,
                  const USERFUNCTIONS* callbacks, const BriskoGuard* guard = nullptr);
    ~ZipExtraction();
    ZipExtraction(const ZipExtraction&) = delete;
    ZipExtraction& operator=(const ZipExtraction&) = delete;

    // Extracts or lists the archive; returns a result code of the interface. Call once.
    int run();

private:
    enum class Duplicates { Prompt, Newer, Always, Never };

    static const char* passphraseCallback(struct archive* reader, void* self);
    const char* nextPassword();

    // Opens the archive file itself, once: every reader of this call reads that same file.
    bool openFile(std::string& reason);
    bool openArchive();
    void closeArchive();
    struct archive* archive() const { return m_reader != nullptr ? m_reader->archive() : nullptr; }
    int openFailureCode() const;
    bool reopenAfter(int entries);

    // How many workers decode ahead of this thread (0: none), and whether entry `index` is one they
    // should decode (called on their threads: reads only what stays as it is while they run).
    int workerCount() const;
    bool worthDecodingAhead(std::size_t index) const;

    bool selected(const std::string& name) const;
    void listEntry(archive_entry* entry, const CentralEntry& central);
    void handleEntry(archive_entry* entry, const CentralEntry& central, bool headerWarning);
    void extractFolder(archive_entry* entry, const SafePath& path);
    void extractLink(archive_entry* entry, const SafePath& path);
    void extractFile(archive_entry* entry, const SafePath& path);
    // Places the entry's file as a worker decoded it. False when this thread is to decode it itself;
    // nothing was reported for it then but service calls, which are not repeated.
    bool placeDecoded(archive_entry* entry, const SafePath& path, const timespec& mtime);
    void decodeHere(archive_entry* entry, const SafePath& path, const timespec& mtime);
    // Whether the entry may be written at `path`: nothing there, or the duplicate policy says
    // replace. Reports a conflict or a lookup failure itself.
    bool mayWrite(const SafePath& path, const timespec& mtime);
    bool mayReplace(const SafePath& path, const ExistingTarget& existing, const timespec& mtime);
    bool copyData(const SafePath& path, PendingFile& file, const void* block, std::size_t size,
                  std::int64_t offset, std::int64_t& written);

    // Reporting. emit() and askService() return false once the caller asked to stop.
    bool emit(const std::string& line);
    bool askService(const std::string& entry, std::int64_t size);
    std::string shown(const SafePath& path) const;
    void refuse(const std::string& name, const char* reason);
    void fail(Outcome outcome, const SafePath& path);
    void writeFailed(const SafePath& path, int error);
    void dataFailed(int status, const SafePath& path);
    void brokenArchive(const std::string& reason);
    void fault(int code);
    void stop();

    Utf8Locale m_locale;
    int m_includeCount;
    char** m_includes;
    int m_excludeCount;
    char** m_excludes;
    const DCL& m_options;
    USERFUNCTIONS m_callbacks{};
    std::string m_archivePath;
    int m_archiveFd = -1;
    std::unique_ptr<ArchiveBytes> m_bytes; // of m_archiveFd, for every reader of this call
    RunGuard m_guard;
    std::string m_destinationText; // as the caller wrote it, for progress lines
    Duplicates m_duplicates;
    bool m_replaceAll = false;
    bool m_replaceNone = false;

    std::unique_ptr<ZipReader> m_reader;
    std::unique_ptr<Destination> m_destination;
    int m_result = kZipOk;
    bool m_halted = false;       // stop reading: stopped by the caller, disk full, archive unreadable
    bool m_readerBroken = false; // the reader gave up inside an entry; reopen to go on
    int m_reopens = 0;

    CentralDirectory m_directory;
    std::size_t m_index = 0;               // of the entry in hand, in the directory
    const CentralEntry* m_entry = nullptr; // the entry in hand
    std::string m_entryName;
    bool m_passwordAsked = false;
    bool m_passwordDeclined = false;
    int m_passwordTries = 0;
    char m_password[256] = {};
    int m_serviceMarks = 0; // service calls made inside the entry in hand

    // Declared last: its workers stop before anything they use goes.
    std::unique_ptr<ParallelDecoder> m_decoder;
};

} // namespace brisko::enginelib
