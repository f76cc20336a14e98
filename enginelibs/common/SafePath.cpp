#include "common/SafePath.h"

namespace brisko::enginelib {

namespace {

bool isSeparator(char c, Separators separators) {
    return c == '/' || (c == '\\' && separators == Separators::SlashAndBackslash);
}

// A leading '\' is refused even in Unix names: such a name is meant for a system where it is a root
// or a UNC server, and nobody stores a file whose name starts with a backslash on purpose.
bool startsAbsolute(std::string_view name) {
    return !name.empty() && (name.front() == '/' || name.front() == '\\');
}

// "C:" starts a drive-absolute or drive-relative name on DOS and Windows; both mean "somewhere other
// than here", wherever the archive is unpacked.
bool startsWithDrive(std::string_view name) {
    if (name.size() < 2 || name[1] != ':') {
        return false;
    }
    const char letter = name[0];
    return (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
}

// Calls visit(component) for every component between separators, empty ones included; stops early
// when visit returns false.
template <typename Visit> void forEachComponent(std::string_view name, Separators separators, Visit visit) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || isSeparator(name[i], separators)) {
            if (!visit(name.substr(start, i - start))) {
                return;
            }
            start = i + 1;
        }
    }
}

} // namespace

std::string_view SafePath::folder() const {
    return m_leafStart == 0 ? std::string_view() : std::string_view(m_text).substr(0, m_leafStart - 1);
}

std::string_view SafePath::leaf() const {
    return std::string_view(m_text).substr(m_leafStart);
}

NameVerdict sanitiseEntryName(std::string_view name, Separators separators, SafePath& path) {
    if (name.find('\0') != std::string_view::npos) {
        return NameVerdict::HasNul;
    }
    if (startsAbsolute(name)) {
        return NameVerdict::Absolute;
    }
    if (startsWithDrive(name)) {
        return NameVerdict::DrivePrefix;
    }
    std::string text;
    text.reserve(name.size());
    std::size_t leafStart = 0;
    int components = 0;
    NameVerdict verdict = NameVerdict::Safe;
    forEachComponent(name, separators, [&](std::string_view component) {
        if (component.empty() || component == ".") {
            return true;
        }
        if (component == "..") {
            verdict = NameVerdict::ParentFolder;
            return false;
        }
        if (component.size() > kMaxComponent) {
            verdict = NameVerdict::TooLong;
            return false;
        }
        if (!text.empty()) {
            text += '/';
        }
        leafStart = text.size();
        text += component;
        ++components;
        return true;
    });
    if (verdict != NameVerdict::Safe) {
        return verdict;
    }
    if (text.empty()) {
        return NameVerdict::Empty;
    }
    if (text.size() > kMaxPath) {
        return NameVerdict::TooLong;
    }
    path.m_text = std::move(text);
    path.m_leafStart = leafStart;
    path.m_folderDepth = components - 1;
    return NameVerdict::Safe;
}

LinkVerdict checkLinkTarget(const SafePath& link, std::string_view target, Separators separators,
                            std::string& normalised) {
    if (target.empty()) {
        return LinkVerdict::Empty;
    }
    if (target.find('\0') != std::string_view::npos) {
        return LinkVerdict::HasNul;
    }
    if (startsAbsolute(target)) {
        return LinkVerdict::Absolute;
    }
    if (startsWithDrive(target)) {
        return LinkVerdict::DrivePrefix;
    }
    std::string text;
    int climbs = 0;
    bool named = false;
    LinkVerdict verdict = LinkVerdict::Safe;
    forEachComponent(target, separators, [&](std::string_view component) {
        if (component.empty() || component == ".") {
            return true;
        }
        if (component == "..") {
            // The link's own folders were made or checked as real folders, so climbing from there is
            // plain; climbing out of something named in the target may climb out of a link.
            if (named) {
                verdict = LinkVerdict::Winding;
                return false;
            }
            if (++climbs > link.folderDepth()) {
                verdict = LinkVerdict::Escapes;
                return false;
            }
        } else if (component.size() > kMaxComponent) {
            verdict = LinkVerdict::TooLong;
            return false;
        } else {
            named = true;
        }
        if (!text.empty()) {
            text += '/';
        }
        text += component;
        return true;
    });
    if (verdict != LinkVerdict::Safe) {
        return verdict;
    }
    if (text.size() > kMaxPath) {
        return LinkVerdict::TooLong;
    }
    normalised = text.empty() ? std::string(".") : std::move(text);
    return LinkVerdict::Safe;
}

const char* describe(NameVerdict verdict) {
    switch (verdict) {
    case NameVerdict::Safe:
        return "safe";
    case NameVerdict::Empty:
        return "empty name";
    case NameVerdict::Absolute:
        return "absolute path";
    case NameVerdict::DrivePrefix:
        return "drive prefix";
    case NameVerdict::ParentFolder:
        return "\"..\" component";
    case NameVerdict::HasNul:
        return "zero byte in name";
    case NameVerdict::TooLong:
        return "name too long";
    }
    return "unsafe name";
}

const char* describe(LinkVerdict verdict) {
    switch (verdict) {
    case LinkVerdict::Safe:
        return "safe";
    case LinkVerdict::Empty:
        return "empty link target";
    case LinkVerdict::Absolute:
        return "link to an absolute path";
    case LinkVerdict::DrivePrefix:
        return "link to a drive";
    case LinkVerdict::Escapes:
        return "link leads outside the destination";
    case LinkVerdict::Winding:
        return "link climbs back out of a folder";
    case LinkVerdict::HasNul:
        return "zero byte in link target";
    case LinkVerdict::TooLong:
        return "link target too long";
    }
    return "unsafe link";
}

std::string printable(std::string_view name) {
    std::string text(name);
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            c = '?';
        }
    }
    return text;
}

} // namespace brisko::enginelib
