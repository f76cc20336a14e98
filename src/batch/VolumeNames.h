#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "batch/PathHelpers.h"

// How the volumes of a multi-volume archive are named, in one place for every rule that needs it.
namespace brisko::batch {

// The kind of an archive: the last three characters of its path, upper-cased ("ZIP", "RAR", "ACE").
// A text of fewer than three characters gives that text upper-cased.
std::string ArchiveKindOf(std::string_view path);

// A new-style RAR volume name: the file name ends with ".part" (lower case, as RAR writes it),
// one or more digits, and ".rar" in any case: "m.part1.rar", "m.part001.rar", "m.part2.RAR".
struct PartVolume {
    std::string base;      // the path before ".part": "/in/m"
    unsigned number = 0;   // 1 for the first volume
    int width = 0;         // how many digits the number is written with
    std::string rarSuffix; // ".rar" as it is written in the name (its case is kept)
};

std::optional<PartVolume> ParsePartVolume(std::string_view path, PathStyle style = kNativeStyle);

// The names of the other volumes of the set whose first volume is `path`, in the order they are
// looked for; the caller stops at the first one that does not exist.
//   ZIP: none.
//   RAR, new style (m.part1.rar): m.part2.rar, m.part3.rar, ... up to m.part999.rar; when the first
//        volume's number has leading zeros (m.part01.rar) the later ones keep its width
//        (m.part02.rar ... m.part99.rar).
//   RAR, old style (m.rar): m.r00 ... m.r99.   ACE (m.ace): m.c00 ... m.c99.
// The letters of a volume suffix follow the case of the archive's own extension (M.RAR: M.R00).
std::vector<std::string> CompanionVolumes(std::string_view path, PathStyle style = kNativeStyle);

} // namespace brisko::batch
