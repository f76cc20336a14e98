#include "enginelibs/ZipFixtures.h"

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <iconv.h>
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

// libarchive converts names between the locale and the archive; tests speak UTF-8 whatever the
// environment says.
class Utf8Scope {
public:
    Utf8Scope() : m_utf8(newlocale(LC_ALL_MASK, "C.UTF-8", nullptr)), m_previous(uselocale(m_utf8)) {}
    ~Utf8Scope() {
        uselocale(m_previous);
        freelocale(m_utf8);
    }

private:
    locale_t m_utf8;
    locale_t m_previous;
};

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

void put16(std::string& out, unsigned value) {
    out += static_cast<char>(value & 0xff);
    out += static_cast<char>((value >> 8) & 0xff);
}

void put32(std::string& out, std::uint32_t value) {
    put16(out, value & 0xffff);
    put16(out, value >> 16);
}

// The current engine under test: C callbacks carry no context.
EngineScript* g_script = nullptr;

int onPrint(char* text, unsigned long length) {
    g_script->lines.emplace_back(text, length);
    return static_cast<int>(g_script->lines.size()) - 1 == g_script->stopPrintingAt ? 1 : 0;
}

int onReplace(char* path) {
    const std::size_t asked = g_script->replaceAsked.size();
    g_script->replaceAsked.emplace_back(path);
    return asked < g_script->replaceAnswers.size() ? g_script->replaceAnswers[asked] : UNZ_REPLACE_NO;
}

int onPassword(char* buffer, int size, const char*, const char* entry) {
    const std::size_t asked = g_script->passwordAsked.size();
    g_script->passwordAsked.emplace_back(entry);
    if (asked >= g_script->passwords.size() || !g_script->passwords[asked]) {
        return 1;
    }
    const std::string& password = *g_script->passwords[asked];
    password.copy(buffer, static_cast<std::size_t>(size) - 1);
    buffer[std::min(password.size(), static_cast<std::size_t>(size) - 1)] = '\0';
    return 0;
}

int onService(const char* entry, unsigned long size) {
    ++g_script->serviceCalls;
    return g_script->service ? g_script->service(entry, size) : 0;
}

void onMessage(unsigned long, unsigned long, unsigned, unsigned, unsigned, unsigned, unsigned, unsigned, char,
               const char*, const char*, unsigned long, char) {}

} // namespace

void WriteZip(const std::string& path, const std::vector<ZipItem>& items, const ZipOptions& options) {
    Utf8Scope utf8;
    struct archive* w = archive_write_new();
    check(archive_write_set_format_zip(w), w, "format");
    check(archive_write_set_options(w, ("zip:compression=" + options.compression).c_str()), w, "compression");
    if (!options.encryption.empty()) {
        check(archive_write_set_options(w, ("zip:encryption=" + options.encryption).c_str()), w,
              "encryption");
        check(archive_write_set_passphrase(w, options.passphrase.c_str()), w, "passphrase");
    }
    if (options.cp437Names) {
        check(archive_write_set_options(w, "zip:hdrcharset=CP437"), w, "hdrcharset");
    }
    check(archive_write_open_filename(w, path.c_str()), w, "open " + path);
    for (const ZipItem& item : items) {
        struct archive_entry* e = archive_entry_new();
        archive_entry_set_pathname(e, item.name.c_str());
        archive_entry_set_perm(e, item.perm);
        archive_entry_set_mtime(e, item.mtime, 0);
        switch (item.kind) {
        case ZipItem::Kind::File:
            archive_entry_set_filetype(e, AE_IFREG);
            archive_entry_set_size(e, static_cast<la_int64_t>(item.data.size()));
            break;
        case ZipItem::Kind::Folder:
            archive_entry_set_filetype(e, AE_IFDIR);
            break;
        case ZipItem::Kind::Link:
            archive_entry_set_filetype(e, AE_IFLNK);
            archive_entry_set_symlink(e, item.data.c_str());
            break;
        }
        check(archive_write_header(w, e), w, "header " + item.name);
        if (item.kind == ZipItem::Kind::File && !item.data.empty()) {
            if (archive_write_data(w, item.data.data(), item.data.size()) !=
                static_cast<la_ssize_t>(item.data.size())) {
                check(ARCHIVE_FATAL, w, "data " + item.name);
            }
        }
        archive_entry_free(e);
    }
    check(archive_write_close(w), w, "close");
    archive_write_free(w);
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
        const std::uint32_t crc = crc32(stored.data);
        const auto size = static_cast<std::uint32_t>(stored.data.size());
        offsets.push_back(entry.sharesDataWith >= 0 ? offsets[entry.sharesDataWith]
                                                    : static_cast<std::uint32_t>(body.size()));
        if (entry.sharesDataWith < 0) {
            put32(body, 0x04034b50);
            for (unsigned value : {10u, entry.flags, 0u, dosTime, dosDate}) {
                put16(body, value);
            }
            put32(body, crc);
            put32(body, size);
            put32(body, size);
            put16(body, static_cast<unsigned>(entry.name.size()));
            put16(body, static_cast<unsigned>(entry.extra.size()));
            body += entry.name + entry.extra + entry.data;
        }

        put32(directory, 0x02014b50);
        for (unsigned value : {(entry.system << 8) | 20u, 10u, entry.flags, 0u, dosTime, dosDate}) {
            put16(directory, value);
        }
        put32(directory, crc);
        put32(directory, size);
        put32(directory, size);
        for (unsigned value : {static_cast<unsigned>(entry.name.size()), static_cast<unsigned>(entry.extra.size()), 0u,
                               0u, 0u}) {
            put16(directory, value);
        }
        put32(directory, entry.externalAttributes);
        put32(directory, offsets.back());
        directory += entry.name + entry.extra;
    }
    std::string end;
    put32(end, 0x06054b50);
    const unsigned counted = countedEntries.value_or(static_cast<unsigned>(entries.size()));
    for (unsigned value : {0u, 0u, counted, counted}) {
        put16(end, value);
    }
    put32(end, static_cast<std::uint32_t>(directory.size()));
    put32(end, static_cast<std::uint32_t>(body.size()));
    put16(end, 0);
    std::ofstream(path, std::ios::binary) << body << directory << end;
}

std::map<std::string, Node> Snapshot(const std::string& folder) {
    std::map<std::string, Node> nodes;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        struct stat st {};
        lstat(item.path().c_str(), &st);
        Node node;
        node.mode = st.st_mode & 07777;
        node.mtime = st.st_mtime;
        if (S_ISREG(st.st_mode)) {
            node.description = "file:" + ReadFile(item.path());
        } else if (S_ISDIR(st.st_mode)) {
            node.description = "folder";
        } else if (S_ISLNK(st.st_mode)) {
            node.description = "link:" + fs::read_symlink(item.path()).string();
        } else {
            node.description = "special";
        }
        nodes[item.path().lexically_relative(folder).string()] = node;
    }
    return nodes;
}

std::vector<std::string> ListTree(const std::string& root) {
    std::vector<std::string> names;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        names.push_back(item.path().lexically_relative(root).string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

int RunEngine(const std::string& archive, const std::string& destination, Duplicates duplicates,
              EngineScript& script, int nvflag, const BriskoGuard* guard) {
    DCL options{};
    options.nvflag = nvflag;
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
    callbacks.SendApplicationMessage = onMessage;
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

std::map<std::string, std::string> ReadWithLibarchive(const std::string& archive,
                                                      const std::string& passphrase) {
    Utf8Scope utf8;
    std::map<std::string, std::string> contents;
    struct archive* a = archive_read_new();
    archive_read_support_format_zip_seekable(a);
    if (!passphrase.empty()) {
        archive_read_add_passphrase(a, passphrase.c_str());
    }
    check(archive_read_open_filename(a, archive.c_str(), 1 << 16), a, "open " + archive);
    struct archive_entry* e = nullptr;
    while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
        if (archive_entry_filetype(e) != AE_IFREG) {
            continue;
        }
        std::string data;
        char buffer[65536];
        la_ssize_t got;
        while ((got = archive_read_data(a, buffer, sizeof buffer)) > 0) {
            data.append(buffer, static_cast<std::size_t>(got));
        }
        check(static_cast<int>(got), a, "data");
        contents[archive_entry_pathname(e)] = data;
    }
    archive_read_free(a);
    return contents;
}

std::string Cp437ToUtf8(const std::string& bytes) {
    iconv_t cd = iconv_open("UTF-8", "CP437");
    std::string in = bytes;
    std::string out(bytes.size() * 4, '\0');
    char* inPtr = in.data();
    char* outPtr = out.data();
    std::size_t inLeft = in.size(), outLeft = out.size();
    iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

} // namespace brisko::test
