#pragma once

#include <string>
#include <vector>

#include "api/unace.h"

// Driving the ACE engine through its C interface the way the program's adapter does.
namespace brisko::test {

struct AceEntryResult {
    std::string name;   // FileName of the header
    std::string volume; // ArcName of the header
    unsigned fileTime = 0;
    unsigned fileCrc = 0;
    int code = -1; // of the last ACEProcessFile call for it
};

struct AceRunResult {
    unsigned openResult = 0;
    int end = -1; // the ACEReadHeader code that ended the walk
    std::vector<AceEntryResult> entries;
};

// Opens `archive`, extracts every entry into `dest` and closes. When an entry asks for a password
// and `passwords` holds another one, that one is set and the same call repeated.
AceRunResult ExtractAce(const std::string& archive, const std::string& dest,
                        std::vector<std::string> passwords = {});

// Every regular file below `folder`, as paths relative to it.
std::vector<std::string> FilesBelow(const std::string& folder);

// The sample folder, or empty when it is not there.
std::string AceSamples();

} // namespace brisko::test
