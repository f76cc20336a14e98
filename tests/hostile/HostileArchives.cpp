#include "hostile/HostileArchives.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "enginelibs/ZipFixtures.h"
#include "support/AceFixtures.h"
#include "support/ArchiveBytes.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace brisko::test::hostile {
namespace {

using Kind = HostileEntry::Kind;

constexpr std::size_t kMaxComponent = 255;
constexpr std::size_t kMaxPath = 4096;

// ---- RAR blocks, written here rather than with WriteRar because the hostile cases need what an
// honest archiver never writes: any mode bits, Windows hosts, every RAR 5 redirection type.

void Append(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
}

std::string Backslashed(std::string name) {
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

Bytes Rar4Entry(const HostileEntry& e) {
    const std::string name = Backslashed(e.name);
    const bool folder = e.kind == Kind::Folder;
    const bool dos = e.dosOrigin;
    std::uint32_t attr = e.mode;
    if (dos) {
        attr = folder ? 0x10 : 0x20;
    } else if (folder) {
        attr = 040755;
    } else if (e.kind == Kind::Link) {
        attr = 0120777;
    }
    const std::string& data = folder ? std::string() : e.data;
    Bytes body{0x74};
    Le(body, 0x8000 | (folder ? 0xE0 : 0), 2);
    Le(body, 32 + name.size(), 2);
    Le(body, data.size(), 4);
    Le(body, data.size(), 4);
    body.push_back(dos ? 2 : 3); // host: Windows or Unix
    Le(body, Crc(data), 4);
    Le(body, kDosTime, 4);
    body.push_back(20);
    body.push_back(0x30); // stored
    Le(body, name.size(), 2);
    Le(body, attr, 4);
    Append(body, name);
    Bytes out = Rar4Block(body);
    Append(out, data);
    return out;
}

int RedirectionType(Kind kind) {
    switch (kind) {
    case Kind::Link:
        return 1;
    case Kind::WindowsLink:
        return 2;
    case Kind::Junction:
        return 3;
    case Kind::HardLink:
        return 4;
    case Kind::FileCopy:
        return 5;
    default:
        return 0;
    }
}

Bytes Rar5Entry(const HostileEntry& e) {
    const bool folder = e.kind == Kind::Folder;
    const int redirect = RedirectionType(e.kind);
    const bool windows = e.dosOrigin || e.kind == Kind::WindowsLink || e.kind == Kind::Junction;
    Bytes extra;
    if (redirect != 0) {
        Bytes record;
        Vint(record, 5);
        Vint(record, static_cast<std::uint64_t>(redirect));
        Vint(record, 0);
        Vint(record, e.data.size());
        Append(record, e.data);
        Vint(extra, record.size());
        extra.insert(extra.end(), record.begin(), record.end());
    }
    const std::string data = folder || redirect != 0 ? std::string() : e.data;
    std::uint64_t attributes = e.mode;
    if (windows) {
        attributes = folder ? 0x10 : 0x20;
    } else if (folder) {
        attributes = 040755;
    } else if (redirect != 0) {
        attributes = 0120777;
    }
    Bytes body;
    Vint(body, 2);
    Vint(body, 0x2 | (extra.empty() ? 0 : 0x1));
    if (!extra.empty()) {
        Vint(body, extra.size());
    }
    Vint(body, data.size());
    Vint(body, (folder ? 0x1 : 0) | 0x2 | 0x4);
    Vint(body, data.size());
    Vint(body, attributes);
    Le(body, 1600000000, 4);
    Le(body, Crc(data), 4);
    Vint(body, 0);               // stored
    Vint(body, windows ? 0 : 1); // host: Windows or Unix
    Vint(body, e.name.size());
    Append(body, e.name);
    body.insert(body.end(), extra.begin(), extra.end());
    Bytes out = Rar5Block(body);
    Append(out, data);
    return out;
}

void WriteRarArchive(bool rar5, const std::string& path, const std::vector<HostileEntry>& entries) {
    Bytes out;
    if (rar5) {
        out = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
        const Bytes main = Rar5Block({1, 0, 0});
        out.insert(out.end(), main.begin(), main.end());
    } else {
        out = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
        Bytes main{0x73};
        Le(main, 0, 2);
        Le(main, 13, 2);
        Le(main, 0, 6);
        const Bytes block = Rar4Block(main);
        out.insert(out.end(), block.begin(), block.end());
    }
    for (const HostileEntry& e : entries) {
        const Bytes entry = rar5 ? Rar5Entry(e) : Rar4Entry(e);
        out.insert(out.end(), entry.begin(), entry.end());
    }
    Bytes end;
    if (rar5) {
        end = Rar5Block({5, 0, 0});
    } else {
        Bytes body{0x7B};
        Le(body, 0x4000, 2);
        Le(body, 7, 2);
        end = Rar4Block(body);
    }
    out.insert(out.end(), end.begin(), end.end());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
}

void WriteZipArchive(const std::string& path, const std::vector<HostileEntry>& entries) {
    std::vector<RawZipEntry> raw;
    for (const HostileEntry& e : entries) {
        RawZipEntry r;
        r.name = e.name;
        r.data = e.data;
        r.system = e.dosOrigin ? 0 : 3;
        switch (e.kind) {
        case Kind::Folder:
            if (r.name.empty() || (r.name.back() != '/' && r.name.back() != '\\')) {
                r.name += e.dosOrigin ? '\\' : '/';
            }
            r.data.clear();
            r.externalAttributes = e.dosOrigin ? 0x10u : ((040755u << 16) | 0x10u);
            break;
        case Kind::Link:
            r.externalAttributes = 0120777u << 16;
            break;
        default:
            r.externalAttributes = e.dosOrigin ? 0x20u : (e.mode << 16);
            break;
        }
        raw.push_back(r);
    }
    WriteRawZip(path, raw);
}

// ---- The rule every engine has to keep, restated independently of enginelibs/common: what a name
// and a link target may be.

enum class NameRule { Safe, Refuse, Free };

std::vector<std::string> Components(const std::string& text) {
    std::vector<std::string> parts;
    std::string part;
    for (const char c : text + "/") {
        if (c == '/' || c == '\\') {
            if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += c;
        }
    }
    return parts;
}

bool HasDrive(const std::string& text) {
    return text.size() >= 2 && std::isalpha(static_cast<unsigned char>(text[0])) && text[1] == ':';
}

std::string Join(const std::vector<std::string>& parts, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        out += (i ? "/" : "") + parts[i];
    }
    return out;
}

// `path` receives the relative path the entry would have.
NameRule CheckName(Format format, const std::string& name, std::string& path) {
    if (name.find('\0') != std::string::npos) {
        // The ZIP and RAR readers hand names on as C strings: the NUL ends the name there.
        return format == Format::Ace || format == Format::Rar5 ? NameRule::Refuse : NameRule::Free;
    }
    if (!name.empty() && (name[0] == '/' || name[0] == '\\')) {
        return NameRule::Refuse;
    }
    if (HasDrive(name)) {
        return NameRule::Refuse;
    }
    const std::vector<std::string> parts = Components(name);
    if (parts.empty()) {
        return NameRule::Free;
    }
    for (const std::string& part : parts) {
        if (part == ".." || part.size() > kMaxComponent) {
            return NameRule::Refuse;
        }
    }
    path = Join(parts, parts.size());
    return path.size() > kMaxPath ? NameRule::Refuse : NameRule::Safe;
}

bool SafeLinkTarget(const std::string& link, const std::string& target, std::string& normalised) {
    if (target.empty() || target.find('\0') != std::string::npos || target[0] == '/' || target[0] == '\\' ||
        HasDrive(target) || target.size() > kMaxPath) {
        return false;
    }
    const std::vector<std::string> parts = Components(target);
    std::size_t ups = 0;
    while (ups < parts.size() && parts[ups] == "..") {
        ++ups;
    }
    for (std::size_t i = ups; i < parts.size(); ++i) {
        if (parts[i] == ".." || parts[i].size() > kMaxComponent) {
            return false;
        }
    }
    const auto depth = static_cast<std::size_t>(std::count(link.begin(), link.end(), '/'));
    if (ups > depth) {
        return false;
    }
    normalised = parts.empty() ? "." : Join(parts, parts.size());
    return true;
}

std::string Escaped(const std::string& bytes) {
    std::string out;
    char hex[8];
    for (const unsigned char c : bytes) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            std::snprintf(hex, sizeof hex, "\\x%02x\"\"", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

const char* KindName(Kind kind) {
    switch (kind) {
    case Kind::File:
        return "File";
    case Kind::Folder:
        return "Folder";
    case Kind::Link:
        return "Link";
    case Kind::WindowsLink:
        return "WindowsLink";
    case Kind::Special:
        return "Special";
    case Kind::HardLink:
        return "HardLink";
    case Kind::Junction:
        return "Junction";
    case Kind::FileCopy:
        return "FileCopy";
    }
    return "?";
}

std::string Describe(const struct stat& st) {
    char text[96];
    std::snprintf(text, sizeof text, "%o %lld.%09ld", static_cast<unsigned>(st.st_mode),
                  static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
    return text;
}

} // namespace

const char* FormatName(Format format) {
    switch (format) {
    case Format::Zip:
        return "ZIP";
    case Format::Rar4:
        return "RAR4";
    case Format::Rar5:
        return "RAR5";
    case Format::Ace:
        return "ACE";
    }
    return "?";
}

std::string Extension(Format format) {
    return format == Format::Zip ? ".zip" : format == Format::Ace ? ".ace" : ".rar";
}

bool CanExpress(Format format, Kind kind) {
    switch (kind) {
    case Kind::File:
    case Kind::Folder:
        return true;
    case Kind::Link:
    case Kind::Special:
        return format != Format::Ace;
    default:
        return format == Format::Rar5;
    }
}

bool CarriesUnixMode(Format format) {
    return format != Format::Ace;
}

void WriteHostileArchive(Format format, const std::string& path, const std::vector<HostileEntry>& entries) {
    switch (format) {
    case Format::Zip:
        WriteZipArchive(path, entries);
        break;
    case Format::Rar4:
    case Format::Rar5:
        WriteRarArchive(format == Format::Rar5, path, entries);
        break;
    case Format::Ace: {
        std::vector<AceItem> items;
        for (const HostileEntry& e : entries) {
            items.push_back(
                {Backslashed(e.name), e.data, e.kind == Kind::Folder ? kAceAttrFolder : kAceAttrArchive});
        }
        WriteAce(path, items);
        break;
    }
    }
}

std::string Describe(const std::vector<HostileEntry>& entries) {
    std::ostringstream out;
    for (const HostileEntry& e : entries) {
        out << "    {" << KindName(e.kind) << ", \"" << Escaped(e.name) << "\", \""
            << Escaped(e.data.substr(0, 60)) << (e.data.size() > 60 ? "..." : "") << "\", 0" << std::oct
            << e.mode << std::dec << (e.dosOrigin ? ", dos" : "") << "}\n";
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
    auto pickOf = [&](const std::vector<std::string>& list) { return list[pick(list.size())]; };
    const bool links = CanExpress(format, Kind::Link);
    std::vector<std::vector<HostileEntry>> fragments;
    int n = 0;
    auto file = [](std::string name, std::string data = {}, std::uint32_t mode = 0100644) {
        HostileEntry e;
        e.name = std::move(name);
        e.data = data.empty() ? "content of " + e.name.substr(0, 40) : std::move(data);
        e.mode = mode;
        return e;
    };
    auto folder = [](std::string name) {
        HostileEntry e;
        e.kind = Kind::Folder;
        e.name = std::move(name);
        e.mode = 040755;
        return e;
    };
    auto link = [](std::string name, std::string target, Kind kind = Kind::Link) {
        HostileEntry e;
        e.kind = kind;
        e.name = std::move(name);
        e.data = std::move(target);
        e.mode = 0120777;
        return e;
    };
    const std::string abs = sandbox.outside;

    using Fragment = std::function<std::vector<HostileEntry>(const std::string& id)>;
    std::vector<std::pair<Fragment, bool>> menu = {
        // ordinary entries, the bulk of every archive
        {[&](const std::string& id) { return std::vector{file("f" + id + ".txt")}; }, true},
        {[&](const std::string& id) {
             return std::vector{folder("dir" + id), file("dir" + id + "/sub/f.txt")};
         },
         true},
        {[&](const std::string& id) { return std::vector{file("deep" + id + "/a/b/c/d/e.txt")}; }, true},
        {[&](const std::string& id) {
             auto e = file("odd" + id + "/" +
                           pickOf({"\x1b[31mred", "line\nbreak", "tab\there", "del\x7f", "\xff\xfe",
                                   "\xe2\x80\xaetxt.exe", "trailing. ", "caf\xc3\xa9"}));
             return std::vector{e};
         },
         true},
        {[&](const std::string& id) {
             return std::vector{file("twice" + id, "first"), file("twice" + id, "second")};
         },
         true},
        {[&](const std::string& id) {
             return std::vector{folder("fold" + id), folder("fold" + id)};
         },
         true},
        {[&](const std::string& id) { return std::vector{file("a" + id + "//b/./c.txt")}; }, true},
        {[&](const std::string& id) {
             return std::vector{file("L" + id + std::string(254 - id.size(), 'n'))};
         },
         true},
        {[&](const std::string& id) {
             std::string name = "long" + id;
             while (name.size() < 300) {
                 name += "/deep";
             }
             return std::vector{file(name + "/x")};
         },
         true},
        // traversal
        {[&](const std::string& id) {
             return std::vector{
                 file(pickOf({"../", "a/../../", "..\\", "a\\..\\..\\", "./../", "a/b/../../../",
                              "../out_evil/", "../tosentinel/", "..\\tosentinel\\"}) +
                      "esc" + id)};
         },
         false},
        // absolute, drive and UNC names
        {[&](const std::string& id) {
             return std::vector{file(
                 pickOf({abs + "/abs", "/" + abs + "/abs", "C:\\abs", "C:abs", "C:../abs", "C:\\C:C:../abs",
                         "\\\\server\\share\\abs", "\\\\?\\C:\\abs", "\\\\.\\abs", "/"}) +
                 id)};
         },
         false},
        // degenerate names
        {[&](const std::string&) {
             return std::vector{file(pickOf({"", ".", "./", "/."}))};
         },
         false},
        {[&](const std::string& id) {
             return std::vector{file("nul" + id + std::string("\0/../../esc", 11))};
         },
         false},
        // too long
        {[&](const std::string& id) { return std::vector{file("T" + id + std::string(255, 't'))}; }, false},
        {[&](const std::string& id) {
             std::string name = "path" + id;
             while (name.size() <= 4200) {
                 name += "/" + std::string(200, 'p');
             }
             return std::vector{file(name)};
         },
         false},
        // type conflicts inside one archive
        {[&](const std::string& id) {
             switch (pick(3)) {
             case 0:
                 return std::vector{file("c" + id), folder("c" + id)};
             case 1:
                 return std::vector{folder("c" + id), file("c" + id)};
             default:
                 return std::vector{file("c" + id), file("c" + id + "/below")};
             }
         },
         false},
    };
    if (CarriesUnixMode(format)) {
        menu.push_back({[&](const std::string& id) {
                            return std::vector{
                                file("mode" + id, {},
                                     0100000u | static_cast<std::uint32_t>(std::vector<unsigned>{
                                                    04755, 02755, 06777, 01644, 0, 0777, 0200}[pick(7)]))};
                        },
                        true});
        menu.push_back({[&](const std::string& id) {
                            HostileEntry e = file("sp" + id, "", 0);
                            e.kind = Kind::Special;
                            e.data.clear();
                            e.mode = std::vector<std::uint32_t>{0010644, 0020644, 0060644, 0140644}[pick(4)];
                            return std::vector{e};
                        },
                        false});
    }
    if (links) {
        menu.insert(
            menu.end(),
            {
                // links that stay inside, used or not
                {[&](const std::string& id) {
                     const std::string target = pickOf({".", "f" + id + ".txt", "dir" + id, "nowhere"});
                     return std::vector{file("f" + id + ".txt"), link("li" + id, target),
                                        link("ll" + id, "li" + id)};
                 },
                 true},
                {[&](const std::string& id) {
                     return std::vector{file("g" + id), link("sub" + id + "/up", "../g" + id)};
                 },
                 true},
                // writing through a link, even one that stays inside
                {[&](const std::string& id) {
                     return std::vector{folder("dir" + id), link("li" + id, "dir" + id),
                                        file("li" + id + "/x")};
                 },
                 false},
                // links out, then through them
                {[&](const std::string& id) {
                     std::vector<HostileEntry> out{
                         link("lo" + id,
                              pickOf({abs, abs + "/sentinel.txt", "../outside", "..\\outside",
                                      "../tosentinel", "../tosentinel.txt", "../../x", "s/../../outside",
                                      "C:\\x", "\\\\srv\\share", "/etc", "..", ""}))};
                     if (pick(2) == 0) {
                         out.push_back(
                             file("lo" + id + "/" + pickOf({"x", "sentinel.txt", "folder/inner.txt"})));
                     }
                     return out;
                 },
                 false},
                // chains
                {[&](const std::string& id) {
                     return pick(2) == 0
                                ? std::vector{link("d" + id + "/l1", ".."), link("d" + id + "/l1/l2", ".."),
                                              file("d" + id + "/l1/l2/x")}
                                : std::vector{link("m" + id, "."), link("m" + id + "/n", "..")};
                 },
                 false},
                // a name reused by another kind
                {[&](const std::string& id) {
                     switch (pick(4)) {
                     case 0:
                         return std::vector{link("lf" + id, "../outside/sentinel.txt"),
                                            file("lf" + id, "replaced")};
                     case 1:
                         return std::vector{file("fl" + id), link("fl" + id, ".")};
                     case 2:
                         return std::vector{link("lf" + id, "."), folder("lf" + id)};
                     default:
                         return std::vector{folder("fl" + id), link("fl" + id, ".")};
                     }
                 },
                 false},
            });
    }
    if (CanExpress(format, Kind::HardLink)) {
        menu.push_back({[&](const std::string& id) {
                            const Kind kind = std::vector{Kind::HardLink, Kind::Junction, Kind::FileCopy,
                                                          Kind::WindowsLink}[pick(4)];
                            return std::vector{file("f" + id + ".txt"),
                                               link("r" + id,
                                                    pickOf({"f" + id + ".txt", abs + "/sentinel.txt",
                                                            "..\\outside\\sentinel.txt", "C:\\x"}),
                                                    kind)};
                        },
                        false});
    }

    // Mostly ordinary archives with a hostile entry or two; some entirely ordinary ones keep the
    // success path honest.
    const std::size_t count = 1 + pick(6);
    const bool clean = pick(5) == 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t choice = pick(menu.size());
        while (clean && !menu[choice].second) {
            choice = pick(menu.size());
        }
        fragments.push_back(menu[choice].first(std::to_string(++n)));
    }
    std::vector<HostileEntry> entries;
    const bool dos = pick(4) == 0;
    for (auto& fragment : fragments) {
        for (HostileEntry& e : fragment) {
            e.dosOrigin = dos && e.kind != Kind::Link && e.kind != Kind::Special && (e.mode & 07000) == 0 &&
                          format != Format::Ace;
            entries.push_back(std::move(e));
        }
    }
    return entries;
}

Expectation Expect(Format format, const std::vector<HostileEntry>& entries) {
    Expectation x;
    std::map<std::string, std::string>& tree = x.tree;
    auto refuse = [&](const HostileEntry& e, const std::string& reason) {
        x.mustFail = true;
        x.mustSucceed = false;
        x.why.push_back(std::string(KindName(e.kind)) + " \"" + Escaped(e.name) + "\": " + reason);
    };
    auto kindAt = [&](const std::string& path) {
        const auto it = tree.find(path);
        return it == tree.end() ? std::string() : it->second.substr(0, it->second.find(':'));
    };
    for (const HostileEntry& e : entries) {
        std::string path;
        const NameRule rule = CheckName(format, e.name, path);
        if (rule == NameRule::Refuse) {
            refuse(e, "unsafe name");
            continue;
        }
        if (rule == NameRule::Free) {
            x.mustSucceed = false;
            if (e.name.find('\0') != std::string::npos) {
                x.ignored.insert(e.name.substr(0, e.name.find('\0')));
            }
            continue;
        }
        // A folder on the way must be a folder: a file or a link there means a conflict or a way out.
        bool blocked = false;
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            const std::string above = path.substr(0, slash);
            const std::string kind = kindAt(above);
            if (kind == "file" || kind == "link") {
                blocked = true;
                break;
            }
            tree[above] = "folder";
        }
        if (blocked) {
            refuse(e, "below a file or a link");
            continue;
        }
        const std::string here = kindAt(path);
        const std::string leafOfOdd =
            path.substr(0, 3) == "odd" ? path.substr(0, path.find('/')) : std::string();
        switch (e.kind) {
        case Kind::File:
            if (here == "folder") {
                refuse(e, "a folder holds its name");
            } else if (!leafOfOdd.empty() && path != leafOfOdd) {
                x.opaque[leafOfOdd] = e.data;
            } else {
                tree[path] = "file:" + e.data;
            }
            break;
        case Kind::Folder:
            if (here == "file" || here == "link") {
                refuse(e, "a file or link holds its name");
            } else {
                tree[path] = "folder";
            }
            break;
        case Kind::Link:
        case Kind::WindowsLink: {
            std::string normalised;
            if (!SafeLinkTarget(path, e.data, normalised)) {
                refuse(e, "unsafe link target");
            } else if (here == "folder") {
                refuse(e, "a folder holds its name");
            } else {
                tree[path] = "link:" + normalised;
            }
            break;
        }
        case Kind::Special:
            // Never created; whether the archive then counts as extracted is left to the engine.
            x.mustSucceed = false;
            x.ignored.insert(path);
            break;
        case Kind::HardLink:
        case Kind::FileCopy: {
            // Only to a file of this archive that lies at the target now.
            std::string target;
            const bool safe = CheckName(format, e.data, target) == NameRule::Safe;
            if (!safe || kindAt(target) != "file" || here == "folder") {
                refuse(e, "target is no file extracted before");
            } else {
                tree[path] = tree[target];
            }
            break;
        }
        case Kind::Junction:
            refuse(e, "no junctions");
            break;
        }
    }
    for (const auto& [folder, content] : x.opaque) {
        for (auto it = tree.lower_bound(folder + "/");
             it != tree.end() && it->first.rfind(folder + "/", 0) == 0;) {
            it = tree.erase(it);
        }
    }
    for (const std::string& ignored : x.ignored) {
        tree.erase(ignored);
        for (auto it = tree.lower_bound(ignored + "/");
             it != tree.end() && it->first.rfind(ignored + "/", 0) == 0;) {
            it = tree.erase(it);
        }
    }
    return x;
}

std::map<std::string, std::string> TreeOf(const std::string& folder) {
    std::map<std::string, std::string> out;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        const std::string relative = item.path().lexically_relative(folder).string();
        if (item.is_symlink()) {
            out[relative] = "link:" + fs::read_symlink(item.path()).string();
        } else if (item.is_directory()) {
            out[relative] = "folder";
        } else if (item.is_regular_file()) {
            out[relative] = "file:" + ReadFile(item.path());
        } else {
            out[relative] = "special";
        }
    }
    return out;
}

std::map<std::string, std::string> DeepSnapshot(const std::string& root, const std::string& skip) {
    std::map<std::string, std::string> out;
    struct stat st {};
    lstat(root.c_str(), &st);
    out["."] = Describe(st);
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string relative = it->path().lexically_relative(root).string();
        if (!skip.empty() && (relative == skip || relative.rfind(skip + "/", 0) == 0)) {
            if (relative == skip) {
                it.disable_recursion_pending();
            }
            continue;
        }
        lstat(it->path().c_str(), &st);
        std::string text = Describe(st);
        if (S_ISREG(st.st_mode)) {
            text += " " + ReadFile(it->path());
        } else if (S_ISLNK(st.st_mode)) {
            text += " -> " + fs::read_symlink(it->path()).string();
        }
        out[relative] = text;
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
        if (S_ISLNK(st.st_mode)) {
            std::error_code error;
            const fs::path target = fs::weakly_canonical(item.path(), error);
            if (error) {
                continue; // a loop leads nowhere
            }
            const auto rel = target.lexically_relative(base);
            if (target != base && (rel.empty() || *rel.begin() == "..")) {
                problems.push_back("link leads outside: " + where + " -> " +
                                   Escaped(fs::read_symlink(item.path()).string()));
            }
        } else if (S_ISREG(st.st_mode)) {
            if ((st.st_mode & 07000) != 0 || (st.st_mode & 0600) != 0600) {
                problems.push_back("file mode " + Describe(st) + ": " + where);
            }
        } else if (S_ISDIR(st.st_mode)) {
            if ((st.st_mode & 07000) != 0 || (st.st_mode & 0700) != 0700) {
                problems.push_back("folder mode " + Describe(st) + ": " + where);
            }
        } else {
            problems.push_back("special file created: " + where);
        }
    }
    return problems;
}

} // namespace brisko::test::hostile
