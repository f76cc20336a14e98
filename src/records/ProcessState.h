#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "records/Settings.h"

namespace brisko::records {

// Booleans shared between the parts of the program are 16-bit values: True is -1, False is 0.
inline constexpr std::int16_t kTrue = -1;
inline constexpr std::int16_t kFalse = 0;

// The outcome of the archive most recently dispatched, and the run-wide cancel request.
struct ExtractionResult {
    std::int16_t Succeeded = kFalse;
    std::int16_t CancelRequested = kFalse;
};

// The ZIP engine's options, one field per member of its option record, filled before each ZIP
// archive. Fields no one writes stay 0.
struct UnzipOptions {
    std::int16_t ExtractOnlyNewer = 0;
    std::int16_t SpaceToUnderscore = 0;
    std::int16_t PromptToOverwrite = 0;
    std::int16_t fQuiet = 0;
    std::int16_t ncflag = 0;
    std::int16_t ntflag = 0;
    std::int16_t nvflag = 0;
    std::int16_t nfflag = 0;
    std::int16_t nzflag = 0;
    std::int16_t ndflag = 0;
    std::int16_t noflag = 0;
    std::int16_t naflag = 0;
    std::int16_t nZIflag = 0;
    std::int16_t C_flag = 0;
    std::int16_t fPrivilege = 0;
    std::string lpszZipFN;      // the archive
    std::string lpszExtractDir; // the destination, without a trailing separator
    // Names to extract and to leave out; empty lists (count 0) mean "everything".
    std::vector<std::string> filesToExtract;
    std::vector<std::string> filesToExclude;
};

// Everything that lives for the whole process, created once at start-up and handed on by reference.
struct ProcessState {
    Settings settings;
    ExtractionResult result;
    UnzipOptions unzipOptions;
    // Every archive path handled in this process, in handling order, duplicates allowed; it keeps a
    // path from being extracted twice across passes.
    std::vector<std::string> DoneList;
};

} // namespace brisko::records
