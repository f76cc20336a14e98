// Support for the ZIP tests; it catches nothing by itself. Its own faults would show as failures of
// the tests using it: WriteZip is libarchive's writer, WriteRawZip is checked by the engine reading
// back what the well-formed cases hold, and Snapshot by the parity checks against Debian's unzip.
#include "enginelibs/ZipFixtures.h"

#include <archive.h>
#include <archive_entry.h>
#include <filesystem>
#include <fstream>
#include <locale.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "support/Process.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace brisko::test {

namespace {

constexpr const char* kUnzip = "/usr/bin/unzip";

void check(int status, struct archive* a, const std::string& what) {
    if (status < ARCHIVE_OK) {
        const char* error = archive_error_string(a);
        throw std::runtime_error(what + ": " + (error ? error : "?"));
    }
}

std::uint32_t crc32(const std::string& data) {
    std::uint32_t crc = 0xffffffffu;
    for (unsigned char byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// Little-endian fields of 2 or 4 bytes.
void put(std::string& out, std::initializer_list<std::uint32_t> values, int bytes = 2) {
    for (std::uint32_t value : values) {
        for (int i = 0; i < bytes; ++i) {
            out += static_cast<char>((value >> (8 * i)) & 0xff);
        }
    }
}

// The current engine under test: C callbacks carry no context.
EngineScript* g_script = nullptr;

int onPrint(char* text, unsigned long length) {
    g_script->lines.emplace_back(text, length);
    return static_cast<int>(g_script->lines.size()) - 1 == g_script->stopPrintingAt ? 1 : 0;
}

int onReplace(char* path) {
    g_script->replaceAsked.emplace_back(path);
    const std::size_t asked = g_script->replaceAsked.size() - 1;
    return asked < g_script->replaceAnswers.size() ? g_script->replaceAnswers[asked] : UNZ_REPLACE_NO;
}

int onPassword(char* buffer, int size, const char*, const char* entry) {
    const std::size_t asked = g_script->passwordAsked.size();
    g_script->passwordAsked.emplace_back(entry);
    if (asked >= g_script->passwords.size() || !g_script->passwords[asked]) {
        return 1;
    }
    std::snprintf(buffer, static_cast<std::size_t>(size), "%s", g_script->passwords[asked]->c_str());
    return 0;
}

int onService(const char* entry, unsigned long size) {
    ++g_script->serviceCalls;
    return g_script->service ? g_script->service(entry, size) : 0;
}

} // namespace

void WriteZip(const std::string& path, const std::vector<ZipItem>& items, const ZipOptions& options) {
    // libarchive converts names between the locale and the archive; tests speak UTF-8 whatever the
    // environment says.
    const locale_t utf8 = newlocale(LC_ALL_MASK, "C.UTF-8", nullptr);
    const locale_t previous = uselocale(utf8);
    struct archive* w = archive_write_new();
    check(archive_write_set_format_zip(w), w, "format");
    check(archive_write_set_options(w, ("zip:compression=" + options.compression).c_str()), w, "compression");
    if (!options.encryption.empty()) {
        check(archive_write_set_options(w, ("zip:encryption=" + options.encryption).c_str()), w, "encryption");
        check(archive_write_set_passphrase(w, options.passphrase.c_str()), w, "passphrase");
    }
    check(archive_write_open_filename(w, path.c_str()), w, "open " + path);
    for (const ZipItem& item : items) {
        struct archive_entry* e = archive_entry_new();
        archive_entry_set_pathname(e, item.name.c_str());
        archive_entry_set_perm(e, item.perm);
        archive_entry_set_mtime(e, item.mtime, 0);
        archive_entry_set_filetype(e, item.kind == ZipItem::Kind::File     ? AE_IFREG
                                      : item.kind == ZipItem::Kind::Folder ? AE_IFDIR
                                                                           : AE_IFLNK);
        if (item.kind == ZipItem::Kind::Link) {
            archive_entry_set_symlink(e, item.data.c_str());
        } else if (item.kind == ZipItem::Kind::File) {
            archive_entry_set_size(e, static_cast<la_int64_t>(item.data.size()));
        }
        check(archive_write_header(w, e), w, "header " + item.name);
        if (item.kind == ZipItem::Kind::File && !item.data.empty() &&
            archive_write_data(w, item.data.data(), item.data.size()) != static_cast<la_ssize_t>(item.data.size())) {
            check(ARCHIVE_FATAL, w, "data " + item.name);
        }
        archive_entry_free(e);
    }
    check(archive_write_close(w), w, "close");
    archive_write_free(w);
    uselocale(previous);
    freelocale(utf8);
}

void WriteRawZip(const std::string& path, const std::vector<RawZipEntry>& entries,
                 std::optional<unsigned> countedEntries) {
    struct tm local {};
    const time_t when = kFixtureTime;
    localtime_r(&when, &local);
    const unsigned dosTime = (local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2);
    const unsigned dosDate = ((local.tm_year - 80) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday;
    std::string body, directory;
    std::vector<std::uint32_t> offsets;
    for (const RawZipEntry& entry : entries) {
        const RawZipEntry& stored = entry.sharesDataWith >= 0 ? entries[entry.sharesDataWith] : entry;
        const std::uint32_t crc = crc32(stored.data), size = static_cast<std::uint32_t>(stored.data.size());
        const auto nameSize = static_cast<std::uint32_t>(entry.name.size());
        const auto extraSize = static_cast<std::uint32_t>(entry.extra.size());
        offsets.push_back(entry.sharesDataWith >= 0 ? offsets[entry.sharesDataWith]
                                                    : static_cast<std::uint32_t>(body.size()));
        if (entry.sharesDataWith < 0) {
            put(body, {0x04034b50}, 4);
            put(body, {10u, entry.flags, 0u, dosTime, dosDate});
            put(body, {crc, size, size}, 4);
            put(body, {nameSize, extraSize});
            body += entry.name + entry.extra + entry.data;
        }
        put(directory, {0x02014b50}, 4);
        put(directory, {(entry.system << 8) | 20u, 10u, entry.flags, 0u, dosTime, dosDate});
        put(directory, {crc, size, size}, 4);
        put(directory, {nameSize, extraSize, 0u, 0u, 0u});
        put(directory, {entry.externalAttributes, offsets.back()}, 4);
        directory += entry.name + entry.extra;
    }
    const unsigned counted = countedEntries.value_or(static_cast<unsigned>(entries.size()));
    std::string end;
    put(end, {0x06054b50}, 4);
    put(end, {0u, 0u, counted, counted});
    put(end, {static_cast<std::uint32_t>(directory.size()), static_cast<std::uint32_t>(body.size())}, 4);
    put(end, {0u});
    std::ofstream(path, std::ios::binary) << body << directory << end;
}

std::map<std::string, Node> Snapshot(const std::string& folder) {
    std::map<std::string, Node> nodes;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        struct stat st {};
        lstat(item.path().c_str(), &st);
        const std::string description = S_ISREG(st.st_mode)   ? "file:" + ReadFile(item.path())
                                        : S_ISDIR(st.st_mode) ? "folder"
                                        : S_ISLNK(st.st_mode) ? "link:" + fs::read_symlink(item.path()).string()
                                                              : "special";
        nodes[item.path().lexically_relative(folder).string()] = {description, st.st_mode & 07777, st.st_mtime};
    }
    return nodes;
}

std::vector<std::string> ListTree(const std::string& root) {
    std::vector<std::string> names;
    for (const auto& [name, node] : Snapshot(root)) {
        names.push_back(name);
    }
    return names;
}

int CountEntries(const std::string& folder) {
    return static_cast<int>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

std::string Patterned(std::size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        data[i] = static_cast<char>(i % 5 == 0 ? seed >> 16 : (i / 7) & 0xff);
    }
    return data;
}

int RunEngine(const std::string& archive, const std::string& destination, Duplicates duplicates,
              EngineScript& script, const BriskoGuard* guard) {
    DCL options{};
    options.PromptToOverwrite = duplicates == Duplicates::Prompt;
    options.ExtractOnlyNewer = options.nfflag = duplicates == Duplicates::Newer;
    options.noflag = duplicates == Duplicates::Newer || duplicates == Duplicates::Always;
    options.lpszZipFN = archive.c_str();
    options.lpszExtractDir = destination.c_str();
    USERFUNCTIONS callbacks{};
    callbacks.print = onPrint;
    callbacks.replace = onReplace;
    callbacks.password = onPassword;
    callbacks.ServCallBk = onService;
    char* none[] = {const_cast<char*>("")};
    g_script = &script;
    const int code = guard != nullptr ? Wiz_SingleEntryUnzipGuarded(0, none, 0, none, &options, &callbacks, guard)
                                      : Wiz_SingleEntryUnzip(0, none, 0, none, &options, &callbacks);
    g_script = nullptr;
    return code;
}

bool HaveUnzip() {
    return access(kUnzip, X_OK) == 0;
}

int RunUnzip(const std::string& archive, const std::string& destination, const std::string& password) {
    if (!HaveUnzip()) {
        return -1;
    }
    std::vector<std::string> argv = {kUnzip, "-qq", "-o"};
    if (!password.empty()) {
        argv.insert(argv.end(), {"-P", password});
    }
    argv.insert(argv.end(), {archive, "-d", destination});
    return RunProcess(argv, {"LC_ALL=C.UTF-8"}, 60).exitStatus;
}

} // namespace brisko::test
