#include "hostile/HostileArchives.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <utility>

#include "enginelibs/ZipFixtures.h"
#include "support/AceFixtures.h"
#include "support/ArchiveBytes.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace brisko::test::hostile {
namespace {

using Kind = HostileEntry::Kind;
constexpr std::size_t kMaxComponent = 255, kMaxPath = 4096;

void Append(Bytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }
void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

std::string Backslashed(std::string name) {
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

// RAR blocks written here rather than with WriteRar: the hostile cases need what an honest archiver never
// writes (any mode bits, Windows hosts, every RAR 5 redirection type).
Bytes RarEntry(bool rar5, const HostileEntry& e) {
    const bool folder = e.kind == Kind::Folder;
    const int redirect = std::vector{0, 0, 1, 2, 0, 4, 3, 5}[static_cast<int>(e.kind)] * rar5;
    const bool windows = e.dosOrigin || (rar5 && (e.kind == Kind::WindowsLink || e.kind == Kind::Junction));
    const std::string data = folder || redirect != 0 ? std::string() : e.data;
    const std::uint32_t attr = windows ? (folder ? 0x10 : 0x20) : folder ? 040755 : e.kind == Kind::Link || redirect ? 0120777 : e.mode;
    const std::string name = rar5 ? e.name : Backslashed(e.name);
    Bytes body, extra, record;
    if (!rar5) { // type, flags, header size, sizes, host, CRC, time, version, stored, name size, attributes
        for (const auto& [value, bytes] : std::vector<std::pair<std::uint64_t, int>>{
                 {0x74, 1}, {0x8000 | (folder ? 0xE0 : 0), 2}, {32 + name.size(), 2}, {data.size(), 4}, {data.size(), 4},
                 {windows ? 2 : 3, 1}, {Crc(data), 4}, {kDosTime, 4}, {20, 1}, {0x30, 1}, {name.size(), 2}, {attr, 4}}) {
            Le(body, value, bytes);
        }
    } else {
        if (redirect != 0) { // the redirection record: type 5, what kind, no flags, the target
            for (const std::uint64_t v : {std::uint64_t{5}, std::uint64_t(redirect), std::uint64_t{0}, e.data.size()}) {
                Vint(record, v);
            }
            Append(record, e.data);
            Vint(extra, record.size());
            Append(extra, record);
        }
        // type 2, flags (an extra area), its size; data size, file flags, size, attributes
        for (const std::uint64_t v : {std::uint64_t{2}, std::uint64_t(extra.empty() ? 2 : 3)}) {
            Vint(body, v);
        }
        if (!extra.empty()) {
            Vint(body, extra.size());
        }
        for (const std::uint64_t v : {std::uint64_t(data.size()), std::uint64_t(folder ? 7 : 6), std::uint64_t(data.size()), std::uint64_t(attr)}) {
            Vint(body, v);
        }
        Le(body, 1600000000, 4);
        Le(body, Crc(data), 4);
        for (const std::uint64_t v : {std::uint64_t{0}, std::uint64_t(windows ? 0 : 1), std::uint64_t(name.size())}) { // stored, host
            Vint(body, v);
        }
    }
    Append(body, name);
    Append(body, extra);
    Bytes out = rar5 ? Rar5Block(body) : Rar4Block(body);
    Append(out, data);
    return out;
}

void WriteRarArchive(bool rar5, const std::string& path, const std::vector<HostileEntry>& entries) {
    Bytes out{0x52, 0x61, 0x72, 0x21, 0x1A, 0x07};
    Bytes main{0x73}, end{0x7B};
    Le(main, 0, 2);
    Le(main, 13, 2);
    Le(main, 0, 6);
    Le(end, 0x4000, 2);
    Le(end, 7, 2);
    Append(out, rar5 ? Bytes{0x01, 0x00} : Bytes{0x00});
    Append(out, rar5 ? Rar5Block({1, 0, 0}) : Rar4Block(main));
    for (const HostileEntry& e : entries) {
        Append(out, RarEntry(rar5, e));
    }
    Append(out, rar5 ? Rar5Block({5, 0, 0}) : Rar4Block(end));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
}

// The containment rule, restated: what a name and a link target may be.
enum class NameRule { Safe, Refuse, Free };

bool HasDrive(const std::string& t) { return t.size() >= 2 && std::isalpha(static_cast<unsigned char>(t[0])) && t[1] == ':'; }

std::string Join(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& part : parts) {
        out += (out.empty() ? "" : "/") + part;
    }
    return out;
}

// The components of a name or link target that stays relative ('\' a separator too, "." dropped); nothing
// when it is absolute, names a drive, holds a NUL, is too long, or climbs beyond `ups` leading "..".
std::optional<std::vector<std::string>> Relative(const std::string& text, std::size_t ups) {
    std::vector<std::string> parts;
    std::string part;
    for (const char c : text + "/") {
        if (c != '/' && c != '\\') {
            part += c;
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::exchange(part, {}));
        } else {
            part.clear();
        }
    }
    std::size_t leading = 0;
    while (leading < parts.size() && parts[leading] == "..") {
        ++leading;
    }
    const bool climbs = std::any_of(parts.begin() + static_cast<long>(leading), parts.end(),
                                    [](const std::string& p) { return p == ".." || p.size() > kMaxComponent; });
    if (climbs || leading > ups || text.find('\0') != std::string::npos || text.rfind('/', 0) == 0 ||
        text.rfind('\\', 0) == 0 || HasDrive(text) || Join(parts).size() > kMaxPath) {
        return std::nullopt;
    }
    return parts;
}

// `path` receives the relative path the entry would have.
NameRule CheckName(Format format, const std::string& name, std::string& path) {
    if (name.find('\0') != std::string::npos) {
        // The ZIP and RAR 4 readers hand names on as C strings: the NUL ends the name there.
        return format == Format::Ace || format == Format::Rar5 ? NameRule::Refuse : NameRule::Free;
    }
    const auto parts = Relative(name, 0);
    path = parts ? Join(*parts) : std::string();
    return !parts ? NameRule::Refuse : parts->empty() ? NameRule::Free : NameRule::Safe;
}

bool SafeLinkTarget(const std::string& link, const std::string& target, std::string& normalised) {
    const auto parts = Relative(target, static_cast<std::size_t>(std::count(link.begin(), link.end(), '/')));
    normalised = parts && !parts->empty() ? Join(*parts) : ".";
    return !target.empty() && parts.has_value();
}

std::string Escaped(const std::string& bytes) {
    std::string out;
    char hex[8];
    for (const unsigned char c : bytes) {
        if (c < 0x20 || c >= 0x7f) {
            std::snprintf(hex, sizeof hex, "\\x%02x\"\"", c);
            out += hex;
        } else {
            out += (c == '\\' || c == '"' ? "\\" : "") + std::string(1, static_cast<char>(c));
        }
    }
    return out;
}

void EraseBelow(std::map<std::string, std::string>& tree, const std::string& path) {
    tree.erase(path);
    for (auto it = tree.lower_bound(path + "/"); it != tree.end() && it->first.rfind(path + "/", 0) == 0;) {
        it = tree.erase(it);
    }
}

} // namespace

void WriteHostileArchive(Format format, const std::string& path, const std::vector<HostileEntry>& entries) {
    if (format == Format::Rar4 || format == Format::Rar5) {
        return WriteRarArchive(format == Format::Rar5, path, entries);
    }
    std::vector<RawZipEntry> zip;
    std::vector<AceItem> ace;
    for (const HostileEntry& e : entries) {
        ace.push_back({Backslashed(e.name), e.data, e.kind == Kind::Folder ? kAceAttrFolder : kAceAttrArchive});
        RawZipEntry r{e.name, e.data, e.dosOrigin ? 0u : 3u, e.dosOrigin ? 0x20u : (e.mode << 16)};
        if (e.kind == Kind::Folder) {
            if (r.name.empty() || (r.name.back() != '/' && r.name.back() != '\\')) {
                r.name += e.dosOrigin ? '\\' : '/';
            }
            r.data.clear();
            r.externalAttributes = e.dosOrigin ? 0x10u : ((040755u << 16) | 0x10u);
        } else if (e.kind == Kind::Link) {
            r.externalAttributes = 0120777u << 16;
        }
        zip.push_back(r);
    }
    format == Format::Zip ? WriteRawZip(path, zip) : WriteAce(path, ace);
}

std::string Describe(const std::vector<HostileEntry>& entries) {
    std::ostringstream out;
    for (const HostileEntry& e : entries) {
        out << "    {Kind(" << static_cast<int>(e.kind) << "), \"" << Escaped(e.name) << "\", \"" << Escaped(e.data.substr(0, 60))
            << (e.data.size() > 60 ? "..." : "") << "\", 0" << std::oct << e.mode << std::dec
            << (e.dosOrigin ? ", dos" : "") << "}\n";
    }
    return out.str();
}

Sandbox::Sandbox(const std::string& r) : root(r), destination(r + "/out"), outside(r + "/outside") {
    WriteFile(outside + "/sentinel.txt", "sentinel");
    WriteFile(outside + "/folder/inner.txt", "inner");
    WriteFile(root + "/out_evil/keep.txt", "keep");
    WriteFile(root + "/beside.txt", "beside");
    fs::create_directory(destination);
    fs::create_directory_symlink(outside, root + "/tosentinel");
    fs::create_symlink(outside + "/sentinel.txt", root + "/tosentinel.txt");
    // Distinct, old times: a touch through a link or a stray utime shows up in the snapshot.
    const timespec old[2] = {{1000000000, 123}, {1000000000, 123}};
    for (const char* name : {"outside/sentinel.txt", "outside/folder/inner.txt", "outside/folder", "outside",
                             "out_evil/keep.txt", "out_evil", "beside.txt"}) {
        utimensat(AT_FDCWD, (root + "/" + name).c_str(), old, 0);
    }
    chmod((outside + "/sentinel.txt").c_str(), 0640);
}

std::vector<HostileEntry> Generate(Format format, std::uint32_t seed, const Sandbox& sandbox) {
    std::mt19937 rng(seed);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    auto repeat = [](const std::string& text, int times) {
        std::string out;
        while (times-- > 0) {
            out += text;
        }
        return out;
    };
    const std::string abs = sandbox.outside;
    const std::string out = abs + "|" + abs + "/sentinel.txt|../outside|..\\outside|../tosentinel|../tosentinel.txt|../../x|"
                            "s/../../outside|C:\\x|\\\\srv\\share|/etc|..|";
    // Fragments of an archive, each with whether it is ordinary (an archive of ordinary fragments must be
    // extracted). A fragment is one of its alternatives: entries separated by " ; ", each "K name" or
    // "K name -> value" (a file's content, a link's target, the octal mode of M and S). K: F file, D folder,
    // M file with a mode, S special file, L link, W Windows link, H hard link, J junction, C file copy. In a
    // name or value '|' separates choices, and '#' stands for the fragment's number.
    std::vector<std::pair<std::vector<std::string>, bool>> menu = {
        {{"F f#.txt|deep#/a/b/c/d/e.txt|a#//b/./c.txt|L#" + std::string(253, 'n') + "|long#" + repeat("/deep", 60) + "/x"}, true},
        {{"F odd#/\x1b[31mred|odd#/line\nbreak|odd#/tab\there|odd#/del\x7f|odd#/\xff\xfe|odd#/\xe2\x80\xaetxt.exe|odd#/trailing. |"
          "odd#/caf\xc3\xa9"}, true},
        {{"D dir# ; F dir#/sub/f.txt", "F twice# -> first ; F twice# -> second", "D fold# ; D fold#"}, true},
        // traversal; absolute, drive and UNC names; degenerate names; a NUL; too long
        {{"F ../esc#|a/../../esc#|..\\esc#|a\\..\\..\\esc#|./../esc#|a/b/../../../esc#|../out_evil/esc#|../tosentinel/esc#|"
          "..\\tosentinel\\esc#"}, false},
        {{"F " + abs + "/abs#|/" + abs + "/abs#|C:\\abs#|C:abs#|C:../abs#|C:\\C:C:../abs#|\\\\server\\share\\abs#|\\\\?\\C:\\abs#|"
          "\\\\.\\abs#|/#"}, false},
        {{"F |.|./|/."}, false}, {{"F nul#" + std::string("\0/../../esc", 11)}, false},
        {{"F T#" + std::string(255, 't') + "|path#" + repeat("/" + std::string(200, 'p'), 21)}, false},
        {{"F c# ; D c#", "D c# ; F c#", "F c# ; F c#/below"}, false}, // type conflicts inside one archive
    };
    if (format != Format::Ace) { // formats that carry a Unix mode, and links
        menu.insert(menu.end(), {
            {{"M mode# -> 4755|2755|6777|1644|0|777|200"}, true}, {{"S sp# -> 10644|20644|60644|140644"}, false},
            // links that stay inside, used or not; writing through a link, even one that stays inside
            {{"F f#.txt ; L li# -> .|f#.txt|dir#|nowhere ; L ll# -> li#", "F g# ; L sub#/up -> ../g#"}, true},
            {{"D dir# ; L li# -> dir# ; F li#/x"}, false},
            // links out, then through them; chains; a name reused by another kind
            {{"L lo# -> " + out, "L lo# -> " + out + " ; F lo#/x|lo#/sentinel.txt|lo#/folder/inner.txt"}, false},
            {{"L d#/l1 -> .. ; L d#/l1/l2 -> .. ; F d#/l1/l2/x", "L m# -> . ; L m#/n -> .."}, false},
            {{"L lf# -> ../outside/sentinel.txt ; F lf# -> replaced", "F fl# ; L fl# -> .", "L lf# -> . ; D lf#",
              "D fl# ; L fl# -> ."}, false},
        });
    }
    if (format == Format::Rar5) { // the redirections only RAR 5 stores
        menu.push_back({{}, false});
        for (const char kind : {'H', 'J', 'C', 'W'}) {
            menu.back().first.push_back("F f#.txt ; " + std::string(1, kind) + " r# -> f#.txt|" + abs +
                                        "/sentinel.txt|..\\outside\\sentinel.txt|C:\\x");
        }
    }
    auto choose = [&](const std::string& text, const std::string& id) {
        std::vector<std::string> choices{""};
        for (const char c : text) {
            if (c == '|') {
                choices.emplace_back();
            } else {
                choices.back().push_back(c);
            }
        }
        std::string chosen = choices[pick(choices.size())];
        for (auto at = chosen.find('#'); at != std::string::npos; at = chosen.find('#', at + id.size())) {
            chosen.replace(at, 1, id);
        }
        return chosen;
    };
    // Mostly ordinary archives with a hostile entry or two; some entirely ordinary ones keep the success path honest.
    std::vector<HostileEntry> entries;
    const std::size_t count = 1 + pick(6);
    const bool clean = pick(5) == 0, dos = pick(4) == 0;
    for (std::size_t i = 1; i <= count; ++i) {
        std::size_t choice = pick(menu.size());
        while (clean && !menu[choice].second) {
            choice = pick(menu.size());
        }
        const std::string fragment = menu[choice].first[pick(menu[choice].first.size())], id = std::to_string(i);
        for (std::size_t from = 0, end = 0; end != std::string::npos; from = end + 3) {
            end = fragment.find(" ; ", from);
            const std::string text = fragment.substr(from, end - from);
            const std::size_t arrow = text.find(" -> ");
            const std::string name = choose(text.substr(2, arrow - 2), id);
            const std::string value = arrow == std::string::npos ? "" : choose(text.substr(arrow + 4), id);
            const auto kind = static_cast<Kind>(std::string("FDLWSHJC").find(text[0] == 'M' ? 'F' : text[0]));
            HostileEntry e{kind, name, value, 0120777};
            if (kind == Kind::File || kind == Kind::Folder) {
                e.mode = text[0] == 'M' ? 0100000 | std::stoul(value, nullptr, 8) : kind == Kind::File ? 0100644 : 040755;
                e.data = kind == Kind::Folder ? "" : text[0] == 'M' || value.empty() ? "content of " + name.substr(0, 40) : value;
            } else if (kind == Kind::Special) {
                e.mode = static_cast<std::uint32_t>(std::stoul(value, nullptr, 8));
                e.data.clear();
            }
            e.dosOrigin = dos && e.kind != Kind::Link && e.kind != Kind::Special && (e.mode & 07000) == 0 && format != Format::Ace;
            entries.push_back(std::move(e));
        }
    }
    return entries;
}

Expectation Expect(Format format, const std::vector<HostileEntry>& entries) {
    Expectation x;
    std::map<std::string, std::string>& tree = x.tree;
    auto kindAt = [&](const std::string& path) {
        const auto it = tree.find(path);
        return it == tree.end() ? std::string() : it->second.substr(0, it->second.find(':'));
    };
    for (const HostileEntry& e : entries) {
        std::string path, target;
        const NameRule rule = CheckName(format, e.name, path);
        // A folder on the way must be a folder: a file or a link there means a conflict or a way out.
        bool blocked = false;
        for (std::size_t at = path.find('/'); rule == NameRule::Safe && at != std::string::npos && !blocked; at = path.find('/', at + 1)) {
            const std::string kind = kindAt(path.substr(0, at));
            blocked = kind == "file" || kind == "link";
        }
        for (std::size_t at = path.find('/'); rule == NameRule::Safe && !blocked && at != std::string::npos; at = path.find('/', at + 1)) {
            tree[path.substr(0, at)] = "folder";
        }
        const std::string here = kindAt(path);
        const bool link = e.kind == Kind::Link || e.kind == Kind::WindowsLink;
        const bool copy = e.kind == Kind::HardLink || e.kind == Kind::FileCopy; // of a file this archive extracted before
        const char* why = rule == NameRule::Refuse ? "unsafe name"
                          : rule == NameRule::Free ? nullptr
                          : blocked                ? "below a file or a link"
                          : link && !SafeLinkTarget(path, e.data, target) ? "unsafe link target"
                          : copy && (CheckName(format, e.data, target) != NameRule::Safe || kindAt(target) != "file")
                              ? "target is no file extracted before"
                          : e.kind == Kind::Junction ? "no junctions"
                          : here == "folder" && e.kind != Kind::Folder && e.kind != Kind::Special ? "a folder holds its name"
                          : e.kind == Kind::Folder && (here == "file" || here == "link") ? "a file or link holds its name"
                                                                                          : nullptr;
        const std::string oddFolder = path.rfind("odd", 0) == 0 ? path.substr(0, path.find('/')) : std::string();
        if (why != nullptr) {
            x.mustFail = true;
            x.mustSucceed = false;
            x.why.push_back("\"" + Escaped(e.name) + "\": " + why);
        } else if (rule == NameRule::Free || e.kind == Kind::Special) {
            // Left out (a name cut at its NUL) or never created: the engine may count the archive either way.
            x.mustSucceed = false;
            x.ignored.insert(e.kind == Kind::Special ? path : e.name.substr(0, e.name.find('\0')));
        } else if (e.kind == Kind::File && !oddFolder.empty() && path != oddFolder) {
            x.opaque[oddFolder] = e.data;
        } else {
            tree[path] = e.kind == Kind::File ? "file:" + e.data : e.kind == Kind::Folder ? "folder" : link ? "link:" + target : tree[target];
        }
    }
    for (const auto& [folder, content] : x.opaque) {
        EraseBelow(tree, folder);
        tree[folder] = "folder";
    }
    for (const std::string& ignored : x.ignored) {
        EraseBelow(tree, ignored);
    }
    return x;
}

std::map<std::string, std::string> TreeOf(const std::string& root, bool deep, const std::string& skip) {
    std::map<std::string, std::string> out;
    for (const auto& [path, node] : Snapshot(root)) {
        if (skip.empty() || (path != skip && path.rfind(skip + "/", 0) != 0)) {
            out[path] = (deep ? std::to_string(node.mode) + " " + std::to_string(node.mtime) + " " : "") + node.description;
        }
    }
    return out;
}

std::vector<std::string> CheckDestination(const std::string& root, const std::string& destination) {
    std::vector<std::string> problems;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        if (item.path().filename().string().find(".brisko-") != std::string::npos) {
            problems.push_back("temporary file left: " + Escaped(item.path().string()));
        }
    }
    const fs::path base = fs::canonical(destination);
    for (const auto& item : fs::recursive_directory_iterator(destination)) {
        struct stat st {};
        lstat(item.path().c_str(), &st);
        const std::string where = Escaped(item.path().lexically_relative(destination).string());
        const mode_t owner = S_ISDIR(st.st_mode) ? 0700 : 0600; // read and write, and a folder's search
        std::error_code error;
        const fs::path target = S_ISLNK(st.st_mode) ? fs::weakly_canonical(item.path(), error) : fs::path();
        const auto rel = target.lexically_relative(base);
        if (S_ISLNK(st.st_mode) && !error && target != base && (rel.empty() || *rel.begin() == "..")) {
            problems.push_back("link leads outside: " + where + " -> " + Escaped(fs::read_symlink(item.path()).string()));
        } else if ((S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) &&
                   ((st.st_mode & 07000) != 0 || (st.st_mode & owner) != owner)) {
            problems.push_back("mode " + std::to_string(st.st_mode) + ": " + where);
        } else if (!S_ISLNK(st.st_mode) && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
            problems.push_back("special file created: " + where);
        }
    }
    return problems;
}

} // namespace brisko::test::hostile
