#pragma once

#include <string>
#include <vector>

// Small stored RAR 4 and RAR 5 archives and volume sets made by the tests. No encryption: encrypted
// archives come from the sample collection.
namespace brisko::test {

struct RarItem {
    enum class Kind { File, Folder, Link };
    std::string name; // '/' between folders; written as the format stores it (RAR 4: '\')
    std::string data; // a file's content or a link's target
    Kind kind = Kind::File;
};

enum class RarFormat { Rar4, Rar5 };

// Writes `items` as one archive `base`.rar, or, with volumes > 1, as a set: `base`.part1.rar … or
// (oldNaming) `base`.rar, `base`.r00 …. In a set the first item's data is split over all volumes and
// the other items go into the last one. Returns the volume paths in order.
std::vector<std::string> WriteRar(const std::string& base, const std::vector<RarItem>& items,
                                  RarFormat format, int volumes = 1, bool oldNaming = false);

} // namespace brisko::test
