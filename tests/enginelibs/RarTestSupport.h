#pragma once

#include <map>
#include <string>
#include <vector>

#include "api/unrar.h"

// Drives the RAR engine through its C interface as the program's adapter does, and looks at what a
// run left in a folder.
namespace brisko::test {

struct RarRun {
    int openResult = 0;
    std::map<std::string, int> results; // entry name → RARProcessFile (or RARReadHeader) code
    std::vector<RARHeaderData> headers;
    int endCode = 0; // what ended the header loop: ERAR_END_ARCHIVE or an error
};

// Opens `archive`, sets `password` when not empty, and for every header calls RARProcessFile with
// `operation` into `destination` (DestName null). A header error ends the loop.
RarRun RunRar(const std::string& archive, const std::string& destination, const std::string& password = {},
              int operation = RAR_EXTRACT, unsigned mode = RAR_OM_EXTRACT);

// Every path below `folder` (relative, '/'-separated), folders with a trailing '/'.
std::vector<std::string> TreeOf(const std::string& folder);

// True when a name left below `folder` looks like an unfinished temporary file.
bool HasLeftovers(const std::string& folder);

} // namespace brisko::test
