#include "unzip/ZipExtraction.h"

#include <archive.h>
#include <archive_entry.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fnmatch.h>
#include <sched.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/FileModes.h"

namespace brisko::enginelib {

namespace {

// The caller's service callback keeps its window alive; a few megabytes take well under a second.
// It is called when an entry's data passes each multiple of this, the same points whoever decodes it.
constexpr std::int64_t kServiceInterval = std::int64_t(2) << 20;
// A caller that answers every request with the same wrong password would otherwise loop for ever.
constexpr int kMaxPasswordTries = 64;
// Each reopening rereads the headers before the broken entry; a few are worth it, thousands are not.
constexpr int kMaxReopens = 16;
// ZIP names carry no reliable note of the system that made them, and a '\' in a name means a
// folder far more often than a character.
constexpr Separators kZipSeparators = Separators::SlashAndBackslash;

// Workers pay for threads, a reader each (which reads the whole directory again) and a lock per
// entry; below this much data they cost more than they give.
constexpr std::uint64_t kParallelBytes = std::uint64_t(8) << 20;
// More readers walking the same headers gain nothing past a few cores' worth.
constexpr unsigned kMostWorkers = 8;
// Encrypted (bit 0) or strongly encrypted (bit 6).
constexpr std::uint16_t kEncryptedFlags = 0x0041;

const char* kPasswordPrompt = "Enter password: ";

// The cores this process may use, asked once: the answer costs a file read and a system call, and an
// archive of a few small files costs little more.
unsigned usableCores() {
    static const unsigned cores = [] {
        unsigned count = std::thread::hardware_concurrency();
        // A process held to fewer cores (taskset, a container) gains nothing from more threads than those.
        if (cpu_set_t allowed; ::sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
            count = std::min(count, static_cast<unsigned>(CPU_COUNT(&allowed)));
        }
        return count;
    }();
    return cores;
}

// BRISKO_ZIP_THREADS=n decodes with n workers whatever the archive's size (0: the calling thread
// alone), so that the worker path can be tried on small archives; -1 when it is not set.
int forcedWorkers() {
    const char* text = std::getenv("BRISKO_ZIP_THREADS");
    if (text == nullptr || *text == '\0') {
        return -1;
    }
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *end == '\0' && value >= 0 ? static_cast<int>(std::min<long>(value, kMostWorkers)) : -1;
}

std::string errorText(struct archive* reader) {
    const char* text = archive_error_string(reader);
    return text != nullptr ? printable(text) : "unknown error";
}

// The reader names the method of the current entry only inside its format name, as in
// "ZIP 2.0 (deflation)".
std::string methodOf(struct archive* reader) {
    const char* format = archive_format_name(reader);
    const std::string text = format != nullptr ? format : "";
    if (text.find("(uncompressed)") != std::string::npos) {
        return "Stored";
    }
    if (text.find("(deflation)") != std::string::npos) {
        return "Defl:N";
    }
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    return open != std::string::npos && close != std::string::npos && close > open
               ? text.substr(open + 1, close - open - 1)
               : "Unknown";
}

} // namespace

Utf8Locale::Utf8Locale() {
    // Made once while the library is loaded: making it reads a dozen locale files, several times the
    // calls of extracting a small archive.
    static const struct Shared {
        locale_t locale = newlocale(LC_ALL_MASK, "C.UTF-8", nullptr);
        ~Shared() {
            if (locale != nullptr) {
                freelocale(locale);
            }
        }
    } utf8;
    m_utf8 = utf8.locale;
    if (m_utf8 != nullptr) {
        m_caller = uselocale(m_utf8);
    }
}

Utf8Locale::~Utf8Locale() {
    if (m_utf8 != nullptr) {
        uselocale(m_caller);
    }
}

ZipExtraction::ZipExtraction(int includeCount, char** includes, int excludeCount, char** excludes,
                             const DCL& options, const USERFUNCTIONS* callbacks, const BriskoGuard* guard)
    : m_includeCount(includes != nullptr ? includeCount : 0), m_includes(includes),
      m_excludeCount(excludes != nullptr ? excludeCount : 0), m_excludes(excludes), m_options(options) {
    if (callbacks != nullptr) {
        m_callbacks = *callbacks;
    }
    m_guard.set(guard);
    m_archivePath = options.lpszZipFN != nullptr ? options.lpszZipFN : "";
    m_destinationText =
        options.lpszExtractDir != nullptr && *options.lpszExtractDir != '\0' ? options.lpszExtractDir : ".";
    if (options.PromptToOverwrite != 0) {
        m_duplicates = Duplicates::Prompt;
    } else if (options.ExtractOnlyNewer != 0 || options.nfflag != 0) {
        m_duplicates = Duplicates::Newer;
    } else if (options.noflag != 0) {
        m_duplicates = Duplicates::Always;
    } else {
        m_duplicates = Duplicates::Never;
    }
}

ZipExtraction::~ZipExtraction() {
    m_decoder.reset(); // its workers read the archive's descriptor
    closeArchive();
    if (m_archiveFd >= 0) {
        ::close(m_archiveFd);
    }
    explicit_bzero(m_password, sizeof m_password);
}

// ---- the reader ---------------------------------------------------------------------------------

bool ZipExtraction::openFile(std::string& reason) {
    // Without blocking: a FIFO under the archive's name would otherwise wait for a writer for ever.
    m_archiveFd = ::open(m_archivePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (m_archiveFd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(m_archiveFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        reason = "not a regular file";
        ::close(m_archiveFd);
        m_archiveFd = -1;
        return false;
    }
    m_guard.fileRead(m_archivePath, st);
    m_bytes = std::make_unique<ArchiveBytes>(m_archiveFd, st.st_size);
    return true;
}

bool ZipExtraction::openArchive() {
    // Names come as stored; the engine reads them by its own rule (entryNameOf), which needs the
    // system that made each entry, from the central directory.
    m_reader = std::make_unique<ZipReader>(*m_bytes);
    return m_reader->open(&ZipExtraction::passphraseCallback, this);
}

void ZipExtraction::closeArchive() {
    m_reader.reset();
}

int ZipExtraction::openFailureCode() const {
    char signature[4] = {};
    // Local headers without a central directory: a ZIP that lost its end.
    return m_bytes->readAt(0, signature, sizeof signature) && std::memcmp(signature, "PK\3\4", 4) == 0
               ? kZipBroken
               : kZipNotZip;
}

// After the reader gave up inside an entry it refuses every further call; a fresh reader positioned
// past that entry lets the remaining entries out.
bool ZipExtraction::reopenAfter(int entries) {
    closeArchive();
    m_readerBroken = false;
    if (++m_reopens > kMaxReopens || !openArchive()) {
        return false;
    }
    archive_entry* entry = nullptr;
    for (int i = 0; i < entries; ++i) {
        if (archive_read_next_header(archive(), &entry) < ARCHIVE_WARN) {
            return false;
        }
    }
    return true;
}

const char* ZipExtraction::passphraseCallback(struct archive*, void* self) {
    return static_cast<ZipExtraction*>(self)->nextPassword();
}

// The reader asks when none of the passwords given so far fits the current entry, and again while
// the one given does not fit.
const char* ZipExtraction::nextPassword() {
    m_passwordAsked = true;
    if (m_callbacks.password == nullptr || ++m_passwordTries > kMaxPasswordTries) {
        return nullptr;
    }
    explicit_bzero(m_password, sizeof m_password);
    const int answer = m_locale.asCaller([&] {
        return m_callbacks.password(m_password, static_cast<int>(sizeof m_password), kPasswordPrompt,
                                    m_entryName.c_str());
    });
    m_password[sizeof m_password - 1] = '\0';
    if (answer != 0) {
        m_passwordDeclined = true;
        return nullptr;
    }
    return m_password; // the reader keeps its own copy
}

// ---- the run ------------------------------------------------------------------------------------

int ZipExtraction::run() {
    if (m_archivePath.empty()) {
        return kZipNotZip;
    }
    if (std::string reason; !openFile(reason)) {
        emit("     error: " + printable(m_archivePath) + "  (" + reason + ")\n");
        return m_halted ? kZipStopped : kZipNotZip;
    }
    if (!openArchive()) {
        const int code = openFailureCode();
        emit("     error: " + printable(m_archivePath) + "  (" + errorText(archive()) + ")\n");
        closeArchive();
        return m_halted ? kZipStopped : code;
    }
    const bool listing = m_options.nvflag != 0;
    if (!listing) {
        m_destination = std::make_unique<Destination>(m_destinationText, &m_guard);
        if (!m_destination->isOpen()) {
            emit("     error: " + printable(m_destinationText) + "  (" +
                 std::strerror(m_destination->error()) + ")\n");
            closeArchive();
            return m_halted ? kZipStopped : kZipWriteFailed;
        }
    }
    m_directory = readCentralDirectory(*m_bytes);
    if (m_directory.verdict != CentralDirectory::Verdict::Ok) {
        brokenArchive(describe(m_directory.verdict));
        closeArchive();
        return m_halted ? kZipStopped : m_result;
    }
    if (!listing) {
        if (const int workers = workerCount(); workers > 0) {
            m_decoder = std::make_unique<ParallelDecoder>(
                *m_bytes, m_directory, *m_destination,
                [this](std::size_t index) { return worthDecodingAhead(index); }, workers,
                m_locale.engineLocale(), kServiceInterval);
        }
    }
    std::size_t done = 0;
    bool whole = false; // every entry of the directory came through the reader
    while (!m_halted) {
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(archive(), &entry);
        if (status == ARCHIVE_EOF) {
            whole = done == m_directory.entries.size();
            break;
        }
        if (status < ARCHIVE_WARN) {
            brokenArchive(errorText(archive()));
            break;
        }
        // The reader takes the entries in the order of their data, as the directory list is sorted.
        const CentralEntry* central = done < m_directory.entries.size() ? &m_directory.entries[done] : nullptr;
        if (central == nullptr || !describesEntry(archive_entry_pathname(entry), *central)) {
            brokenArchive("the entries do not match the central directory");
            break;
        }
        m_index = done;
        if (listing) {
            listEntry(entry, *central);
        } else {
            handleEntry(entry, *central, status == ARCHIVE_WARN);
        }
        ++done;
        if (m_decoder) {
            m_decoder->passed(done);
        }
        if (m_readerBroken && !m_halted && !reopenAfter(static_cast<int>(done))) {
            break;
        }
    }
    if (!whole && !m_halted && m_result == kZipOk) {
        // Fewer entries than the directory counts came out: the archive is not whole.
        brokenArchive("the central directory lists entries that cannot be read");
    }
    m_decoder.reset(); // stops whatever the workers still do and drops what they made
    if (m_destination) {
        m_destination->finish();
    }
    closeArchive();
    return m_result;
}

int ZipExtraction::workerCount() const {
    if (!m_destination->unnamedFiles()) {
        return 0; // files with temporary names in the top folder would not stay invisible
    }
    std::uint64_t bytes = 0;
    std::size_t withData = 0;
    for (const CentralEntry& entry : m_directory.entries) {
        if ((entry.flags & kEncryptedFlags) != 0) {
            return 0;
        }
        bytes += entry.uncompressedSize;
        withData += entry.uncompressedSize > 0 ? 1 : 0;
    }
    if (const int forced = forcedWorkers(); forced >= 0) {
        return forced;
    }
    if (withData < 2 || bytes < kParallelBytes) {
        return 0;
    }
    const unsigned cores = usableCores();
    return cores < 2 ? 0 : static_cast<int>(std::min(cores, kMostWorkers));
}

bool ZipExtraction::worthDecodingAhead(std::size_t index) const {
    const CentralEntry& central = m_directory.entries[index];
    SafePath path;
    return central.name && !central.name->empty() && selected(*central.name) &&
           sanitiseEntryName(*central.name, kZipSeparators, path) == NameVerdict::Safe;
}

bool ZipExtraction::selected(const std::string& name) const {
    bool wanted = m_includeCount <= 0;
    for (int i = 0; !wanted && i < m_includeCount; ++i) {
        wanted = m_includes[i] != nullptr && ::fnmatch(m_includes[i], name.c_str(), 0) == 0;
    }
    for (int i = 0; wanted && i < m_excludeCount; ++i) {
        wanted = m_excludes[i] == nullptr || ::fnmatch(m_excludes[i], name.c_str(), 0) != 0;
    }
    return wanted;
}

void ZipExtraction::listEntry(archive_entry* entry, const CentralEntry& central) {
    const std::string name = central.name.value_or(printable(central.rawName));
    if (m_callbacks.SendApplicationMessage == nullptr || !selected(name)) {
        return;
    }
    const time_t mtime = archive_entry_mtime(entry);
    struct tm local {};
    localtime_r(&mtime, &local);
    const std::string method = methodOf(archive());
    const auto size = static_cast<unsigned long>(archive_entry_size(entry));
    const char encrypted = archive_entry_is_encrypted(entry) ? 1 : 0;
    m_locale.asCaller([&] {
        m_callbacks.SendApplicationMessage(
            size, 0, 0, static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday),
            static_cast<unsigned>(local.tm_year + 1900), static_cast<unsigned>(local.tm_hour),
            static_cast<unsigned>(local.tm_min), ' ', name.c_str(), method.c_str(), 0, encrypted);
    });
}

void ZipExtraction::handleEntry(archive_entry* entry, const CentralEntry& central, bool headerWarning) {
    m_entryName = central.name.value_or(central.rawName);
    m_entry = &central;
    m_passwordAsked = false;
    m_passwordDeclined = false;
    m_passwordTries = 0;
    m_serviceMarks = 0;
    if (!selected(m_entryName) || !askService(m_entryName, archive_entry_size(entry))) {
        return;
    }
    // The reader warns about a header it could not make sense of.
    if (!central.name || headerWarning || m_entryName.empty()) {
        refuse(m_entryName, !central.name   ? "name flagged as UTF-8 is not UTF-8"
                            : headerWarning ? archive_error_string(archive())
                                            : "no name");
        return;
    }
    const EntryKind kind = kindOfMode(archive_entry_mode(entry));
    if (kind == EntryKind::Special) {
        refuse(m_entryName, "device, FIFO or socket");
        return;
    }
    SafePath path;
    const NameVerdict verdict = sanitiseEntryName(m_entryName, kZipSeparators, path);
    if (verdict != NameVerdict::Safe) {
        refuse(m_entryName, describe(verdict));
        return;
    }
    switch (kind) {
    case EntryKind::Folder:
        extractFolder(entry, path);
        break;
    case EntryKind::Link:
        extractLink(entry, path);
        break;
    default:
        extractFile(entry, path);
        break;
    }
}

void ZipExtraction::extractFolder(archive_entry* entry, const SafePath& path) {
    if (!emit("   creating: " + shown(path) + "/\n")) {
        return;
    }
    bool created = false;
    const Outcome outcome =
        m_destination->makeFolder(path, archive_entry_perm(entry), entryTime(entry), created);
    if (outcome != Outcome::Done) {
        fail(outcome, path);
    }
}

void ZipExtraction::extractLink(archive_entry* entry, const SafePath& path) {
    // A link's target is its data, stored like its name.
    const char* stored = archive_entry_symlink(entry);
    const std::optional<std::string> target =
        entryNameOf(stored != nullptr ? stored : "", m_entry->flags, m_entry->host);
    std::string normalised;
    const LinkVerdict verdict = checkLinkTarget(path, target.value_or(""), kZipSeparators, normalised);
    if (verdict != LinkVerdict::Safe) {
        refuse(m_entryName, describe(verdict));
        return;
    }
    const timespec mtime = entryTime(entry);
    if (!mayWrite(path, mtime)) {
        return;
    }
    if (!emit(" extracting: " + shown(path) + " -> " + printable(normalised) + "\n")) {
        return;
    }
    LinkVerdict madeVerdict = LinkVerdict::Safe;
    const Outcome outcome = m_destination->makeLink(path, normalised, kZipSeparators, mtime, madeVerdict);
    if (outcome != Outcome::Done) {
        fail(outcome, path);
    }
}

bool ZipExtraction::mayWrite(const SafePath& path, const timespec& mtime) {
    ExistingTarget existing;
    Outcome outcome = m_destination->lookup(path, existing);
    // A folder is never replaced by a file or a link.
    if (outcome == Outcome::Done && existing.kind == ExistingTarget::Kind::Folder) {
        outcome = Outcome::Conflict;
    }
    if (outcome != Outcome::Done) {
        fail(outcome, path);
        return false;
    }
    return existing.kind == ExistingTarget::Kind::None || mayReplace(path, existing, mtime);
}

void ZipExtraction::extractFile(archive_entry* entry, const SafePath& path) {
    const timespec mtime = entryTime(entry);
    if (!mayWrite(path, mtime)) {
        return;
    }
    const bool stored = methodOf(archive()) == "Stored";
    if (!emit((stored ? " extracting: " : "  inflating: ") + shown(path) + "\n")) {
        return;
    }
    if (m_decoder && placeDecoded(entry, path, mtime)) {
        return;
    }
    decodeHere(entry, path, mtime);
}

bool ZipExtraction::placeDecoded(archive_entry* entry, const SafePath& path, const timespec& mtime) {
    switch (m_decoder->begin(m_index)) {
    case ParallelDecoder::Start::Stopped:
        stop();
        return true;
    case ParallelDecoder::Start::Declined:
        if (m_decoder->givenUp()) {
            m_decoder.reset(); // from here on this thread reads alone, with nothing of the workers' left
        }
        return false;
    case ParallelDecoder::Start::Begun:
        break;
    }
    // The data starts well: the folders are made where beginFile would make them, before any of it is
    // written, so that a name in the way is reported at the same point.
    if (const Outcome made = m_destination->makeFoldersFor(path); made != Outcome::Done) {
        fail(made, path);
        return true;
    }
    SpooledFile file;
    const auto mark = [&](int count) { return askService(m_entryName, count * kServiceInterval); };
    switch (m_decoder->take(m_index, m_serviceMarks, mark, file)) {
    case ParallelDecoder::Take::Stopped:
        stop(); // already, when the caller's service callback said so
        return true;
    case ParallelDecoder::Take::Declined:
        if (m_decoder->givenUp()) {
            m_decoder.reset();
        }
        return false;
    case ParallelDecoder::Take::Whole:
        break;
    }
    fail(m_destination->placeSpooled(path, file, archive_entry_perm(entry), mtime), path);
    return true;
}

void ZipExtraction::decodeHere(archive_entry* entry, const SafePath& path, const timespec& mtime) {
    // The first block settles the password and the method before any file is made for the entry.
    const void* block = nullptr;
    std::size_t size = 0;
    la_int64_t offset = 0;
    int status = archive_read_data_block(archive(), &block, &size, &offset);
    if (status != ARCHIVE_OK && status != ARCHIVE_EOF) {
        dataFailed(status, path);
        return;
    }
    PendingFile file;
    const Outcome outcome = m_destination->beginFile(
        path, archive_entry_perm(entry), file,
        archive_entry_size_is_set(entry) ? static_cast<std::uint64_t>(archive_entry_size(entry)) : 0);
    if (outcome != Outcome::Done) {
        fail(outcome, path);
        return;
    }
    std::int64_t written = 0;
    while (status == ARCHIVE_OK) {
        if (!copyData(path, file, block, size, offset, written)) {
            return;
        }
        status = archive_read_data_block(archive(), &block, &size, &offset);
    }
    // The reader checks the CRC and the sizes when it reaches the end; anything but a clean end
    // leaves the file unwritten.
    if (status != ARCHIVE_EOF) {
        dataFailed(status, path);
        return;
    }
    const Outcome placed = file.commit(mtime);
    if (placed == Outcome::Failed) {
        writeFailed(path, file.error());
    } else {
        fail(placed, path);
    }
}

bool ZipExtraction::copyData(const SafePath& path, PendingFile& file, const void* block, std::size_t size,
                             std::int64_t offset, std::int64_t& written) {
    if (offset != written) {
        // ZIP data has no holes; an offset out of line means the reader lost track.
        dataFailed(ARCHIVE_WARN, path);
        return false;
    }
    if (size > 0 && !file.write(block, size)) {
        writeFailed(path, file.error());
        return false;
    }
    written += static_cast<std::int64_t>(size);
    // Marks a worker reported already for this entry are not reported again.
    while (written >= (m_serviceMarks + 1) * kServiceInterval) {
        ++m_serviceMarks;
        if (!askService(m_entryName, m_serviceMarks * kServiceInterval)) {
            return false;
        }
    }
    return true;
}

bool ZipExtraction::mayReplace(const SafePath& path, const ExistingTarget& existing, const timespec& mtime) {
    bool replace = false;
    bool newer = false;
    switch (m_duplicates) {
    case Duplicates::Always:
        replace = true;
        break;
    case Duplicates::Never:
        break;
    case Duplicates::Newer:
        // DOS times have two-second steps and may have been rounded either way.
        replace = mtime.tv_sec > existing.mtime.tv_sec + 2;
        newer = !replace;
        break;
    case Duplicates::Prompt:
        if (m_replaceAll || m_replaceNone || m_callbacks.replace == nullptr) {
            replace = m_replaceAll;
            break;
        }
        std::string target = m_destinationText + "/" + path.text();
        const int answer = m_locale.asCaller([&] { return m_callbacks.replace(target.data()); });
        m_replaceAll = answer == UNZ_REPLACE_ALL;
        m_replaceNone = answer == UNZ_REPLACE_NONE;
        replace = answer == UNZ_REPLACE_YES || answer == UNZ_REPLACE_ALL;
        break;
    }
    if (!replace) {
        emit((newer ? "Target file newer.  Skipping " : "Target file exists.  Skipping ") + shown(path) +
             "\n");
    }
    return replace;
}

// ---- reporting ----------------------------------------------------------------------------------

bool ZipExtraction::emit(const std::string& line) {
    if (m_callbacks.print == nullptr || m_halted) {
        return !m_halted;
    }
    std::vector<char> text(line.begin(), line.end());
    text.push_back('\0');
    const int answer = m_locale.asCaller([&] { return m_callbacks.print(text.data(), line.size()); });
    if (answer != 0) {
        stop();
    }
    return answer == 0;
}

bool ZipExtraction::askService(const std::string& entry, std::int64_t size) {
    if (m_callbacks.ServCallBk == nullptr) {
        return true;
    }
    const int answer = m_locale.asCaller(
        [&] { return m_callbacks.ServCallBk(entry.c_str(), static_cast<unsigned long>(size)); });
    if (answer != 0) {
        stop();
    }
    return answer == 0;
}

std::string ZipExtraction::shown(const SafePath& path) const {
    return m_destinationText + "/" + printable(path.text());
}

void ZipExtraction::refuse(const std::string& name, const char* reason) {
    fault(kZipWarning);
    emit("  refusing: " + printable(name) + "  (" + (reason != nullptr ? printable(reason) : "") + ")\n");
}

void ZipExtraction::fail(Outcome outcome, const SafePath& path) {
    switch (outcome) {
    case Outcome::Done:
        return;
    case Outcome::Refused:
        refuse(m_entryName, "path passes through a symbolic link");
        return;
    case Outcome::Protected:
        refuse(m_entryName, "would replace an archive of this run");
        return;
    case Outcome::NoRoom:
        writeFailed(path, ENOSPC);
        return;
    case Outcome::Conflict:
        fault(kZipWriteFailed);
        emit("     error: " + shown(path) + "  (a file or folder of another kind is in the way)\n");
        return;
    case Outcome::Failed:
        writeFailed(path, m_destination->error());
        return;
    }
}

void ZipExtraction::writeFailed(const SafePath& path, int error) {
    if (error == ECANCELED) {
        stop(); // the guard's KeepGoing said no: a stop by the caller, not a failure
        return;
    }
    fault(kZipWriteFailed);
    // The writer stops at its reserve before the disk is full: no space is what that means here.
    emit("     error: " + shown(path) + "  (" + (error == ENOSPC ? "not enough free space" : std::strerror(error)) +
         ")\n");
    if (error == ENOSPC || error == EDQUOT) {
        m_halted = true; // every further entry would fail the same way
    }
}

void ZipExtraction::dataFailed(int status, const SafePath& path) {
    if (status == ARCHIVE_FAILED && m_passwordAsked) {
        fault(kZipBadPassword);
        emit("   skipping: " + shown(path) +
             (m_passwordDeclined ? "  (no password)\n" : "  (incorrect password)\n"));
        return;
    }
    const std::string reason = errorText(archive());
    if (status == ARCHIVE_FAILED) {
        // The reader fails an entry it can skip for an unknown method or encryption.
        fault(kZipUnsupported);
    } else if (status == ARCHIVE_WARN) {
        fault(kZipDamaged);
    } else {
        fault(kZipBroken);
        m_readerBroken = true;
    }
    emit("     error: " + shown(path) + "  (" + reason + ")\n");
}

void ZipExtraction::brokenArchive(const std::string& reason) {
    fault(kZipBroken);
    emit("     error: " + printable(m_archivePath) + "  (" + reason + ")\n");
}

void ZipExtraction::fault(int code) {
    if (m_result == kZipOk) {
        m_result = code;
    }
}

void ZipExtraction::stop() {
    m_result = kZipStopped;
    m_halted = true;
}

} // namespace brisko::enginelib
