#include "batch/FindArchives.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "batch/AsciiText.h"
#include "platform/FileSystem.h"

namespace brisko::batch {

namespace {

bool matchesOne(std::string_view name, std::string_view pattern) {
    // Iterative wildcard match with one backtrack point: linear enough for file names.
    std::size_t n = 0, p = 0, starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || ToAsciiLower(pattern[p]) == ToAsciiLower(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

// `folder` is normalised already.
void searchFolder(const std::string& folder, bool recurse, ArchiveList& list, std::vector<std::string>* unreadable) {
    std::vector<platform::FolderEntry> entries;
    if (!platform::ReadFolder(folder, entries)) {
        if (unreadable != nullptr && errno != ENOENT) {
            unreadable->push_back(folder);
        }
        return;
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return NaturalLess(a.name, b.name); });
    for (const platform::FolderEntry& entry : entries) {
        if (entry.type == platform::EntryType::Folder) {
            if (recurse && !entry.link && entry.name.front() != '.') {
                searchFolder(folder + entry.name + SeparatorOf(kNativeStyle), recurse, list, unreadable);
            }
        } else if (entry.type == platform::EntryType::File && MatchesPatterns(entry.name)) {
            list.push_back(folder + entry.name);
        }
    }
}

} // namespace

bool MatchesPatterns(std::string_view name, std::string_view patterns) {
    while (true) {
        const std::size_t end = patterns.find(';');
        if (matchesOne(name, patterns.substr(0, end))) {
            return true;
        }
        if (end == std::string_view::npos) {
            return false;
        }
        patterns.remove_prefix(end + 1);
    }
}

std::string NormaliseFolder(std::string& folder, PathStyle style) {
    if (!folder.empty() && folder.front() == '"') {
        folder.erase(0, 1);
    }
    if (!folder.empty() && folder.back() == '"') {
        folder.pop_back();
    }
    if (folder.empty() || folder.back() != SeparatorOf(style)) {
        folder += SeparatorOf(style);
    }
    return folder;
}

ArchiveList FindArchives(std::string& folder, bool recurse, std::vector<std::string>* unreadable) {
    ArchiveList list;
    SearchFolder(folder, recurse, list, unreadable);
    return list;
}

void SearchFolder(std::string& folder, bool recurse, ArchiveList& list, std::vector<std::string>* unreadable) {
    NormaliseFolder(folder);
    searchFolder(folder, recurse, list, unreadable);
}

bool NaturalLess(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsAsciiDigit(a[i]) && IsAsciiDigit(b[j])) {
            std::size_t endA = i, endB = j;
            while (endA < a.size() && IsAsciiDigit(a[endA])) {
                ++endA;
            }
            while (endB < b.size() && IsAsciiDigit(b[endB])) {
                ++endB;
            }
            // Compare the values without converting: drop leading zeros, then the longer is larger.
            std::string_view numA = a.substr(i, endA - i), numB = b.substr(j, endB - j);
            numA.remove_prefix(std::min(numA.find_first_not_of('0'), numA.size()));
            numB.remove_prefix(std::min(numB.find_first_not_of('0'), numB.size()));
            if (numA.size() != numB.size()) {
                return numA.size() < numB.size();
            }
            if (numA != numB) {
                return numA < numB;
            }
            i = endA;
            j = endB;
            continue;
        }
        const char ca = ToAsciiLower(a[i]), cb = ToAsciiLower(b[j]);
        if (ca != cb) {
            return static_cast<unsigned char>(ca) < static_cast<unsigned char>(cb);
        }
        ++i;
        ++j;
    }
    if ((i < a.size()) != (j < b.size())) {
        return j < b.size();
    }
    return a < b;
}

} // namespace brisko::batch
