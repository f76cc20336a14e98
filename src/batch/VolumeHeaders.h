#pragma once

#include <string>

// What an archive's own main header says about belonging to a volume set. Names alone can group
// unrelated files ("x.rar" next to a stray "x.r00" from another download); the header cannot.
namespace brisko::batch {

enum class VolumeMark {
    Volume,  // the header marks it as one volume of a set
    Single,  // the header marks it as a whole archive of its own
    Unknown, // no header read: not an archive start we know (a self-extractor, a damaged file, RAR 5
             // with encrypted headers) or not readable
};

// Reads the start of `path`: a RAR 4 or RAR 5 main header, or an ACE main header.
VolumeMark VolumeMarkOf(const std::string& path);

} // namespace brisko::batch
