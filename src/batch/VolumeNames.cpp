#include "batch/VolumeNames.h"

#include <algorithm>
#include <limits>

#include "batch/AsciiText.h"

namespace brisko::batch {
namespace {

constexpr std::string_view kPartMarker = ".part";
constexpr std::string_view kRarSuffix = ".rar";
constexpr unsigned kLastUnpaddedPart = 999;
// A zero-padded part number says how many volumes the set may have; past five digits that would be
// millions of names to probe for sets that do not exist in practice.
constexpr int kWidestPartRange = 5;
constexpr int kLastOldStyleVolume = 99;

bool endsWithIgnoringCase(std::string_view text, std::string_view lowerSuffix) {
    if (text.size() < lowerSuffix.size()) {
        return false;
    }
    const std::string_view tail = text.substr(text.size() - lowerSuffix.size());
    return std::equal(tail.begin(), tail.end(), lowerSuffix.begin(),
                      [](char a, char b) { return ToAsciiUpper(a) == ToAsciiUpper(b); });
}

std::string zeroPadded(unsigned number, int width) {
    std::string digits = std::to_string(number);
    if (digits.size() < static_cast<std::size_t>(width)) {
        digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
    }
    return digits;
}

std::vector<std::string> newStyleCompanions(const PartVolume& first) {
    unsigned last = kLastUnpaddedPart;
    if (first.width > 1) {
        last = 1;
        for (int i = 0; i < std::min(first.width, kWidestPartRange); ++i) {
            last *= 10;
        }
        last -= 1;
    }
    std::vector<std::string> names;
    names.reserve(last - 1);
    for (unsigned number = 2; number <= last; ++number) {
        names.push_back(first.base + std::string(kPartMarker) + zeroPadded(number, first.width) +
                        first.rarSuffix);
    }
    return names;
}

// m.rar: m.r00 ... m.r99; m.ace: m.c00 ... m.c99.
std::vector<std::string> numberedExtensions(std::string_view path, char lowerLetter) {
    const std::optional<std::string> base = StripExtension(path);
    if (!base) {
        return {};
    }
    const std::string_view extension = path.substr(path.size() - 3);
    const bool upper = std::all_of(extension.begin(), extension.end(), IsAsciiUpper);
    const char letter = upper ? ToAsciiUpper(lowerLetter) : lowerLetter;
    std::vector<std::string> names;
    names.reserve(kLastOldStyleVolume + 1);
    for (int number = 0; number <= kLastOldStyleVolume; ++number) {
        names.push_back(*base + '.' + letter + zeroPadded(static_cast<unsigned>(number), 2));
    }
    return names;
}

} // namespace

std::string ArchiveKindOf(std::string_view path) {
    const std::string_view tail = path.size() > 3 ? path.substr(path.size() - 3) : path;
    std::string kind(tail);
    std::transform(kind.begin(), kind.end(), kind.begin(), ToAsciiUpper);
    return kind;
}

std::optional<PartVolume> ParsePartVolume(std::string_view path, PathStyle style) {
    // Only the file name counts: a folder called "x.part1.rar" says nothing about the file in it.
    const std::string name = FileNameOf(path, style);
    if (!endsWithIgnoringCase(name, kRarSuffix)) {
        return std::nullopt;
    }
    const std::size_t digitsEnd = name.size() - kRarSuffix.size();
    std::size_t digitsStart = digitsEnd;
    while (digitsStart > 0 && IsAsciiDigit(name[digitsStart - 1])) {
        --digitsStart;
    }
    if (digitsStart == digitsEnd || digitsStart < kPartMarker.size() ||
        std::string_view(name).substr(digitsStart - kPartMarker.size(), kPartMarker.size()) != kPartMarker) {
        return std::nullopt;
    }

    PartVolume volume;
    const std::size_t markerFromEnd = name.size() - (digitsStart - kPartMarker.size());
    volume.base = std::string(path.substr(0, path.size() - markerFromEnd));
    volume.width = static_cast<int>(digitsEnd - digitsStart);
    volume.rarSuffix = std::string(path.substr(path.size() - kRarSuffix.size()));
    // An absurdly long number saturates rather than wraps; it still marks a new-style name.
    constexpr unsigned kMax = std::numeric_limits<unsigned>::max();
    for (std::size_t i = digitsStart; i < digitsEnd; ++i) {
        const auto digit = static_cast<unsigned>(name[i] - '0');
        volume.number = volume.number > (kMax - digit) / 10 ? kMax : volume.number * 10 + digit;
    }
    return volume;
}

std::vector<std::string> CompanionVolumes(std::string_view path, PathStyle style) {
    const std::string kind = ArchiveKindOf(path);
    // The kind must be the whole extension: "m.xrar" is no RAR archive, and has no volumes to look for.
    const bool hasExtension = path.size() > 3 && path[path.size() - 4] == '.';
    if (kind == "RAR" && hasExtension) {
        if (const std::optional<PartVolume> first = ParsePartVolume(path, style)) {
            return newStyleCompanions(*first);
        }
        return numberedExtensions(path, 'r');
    }
    if (kind == "ACE" && hasExtension) {
        return numberedExtensions(path, 'c');
    }
    return {};
}

} // namespace brisko::batch
