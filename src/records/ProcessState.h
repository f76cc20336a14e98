#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "enginelibs/api/briskoguard.h"
#include "records/Settings.h"

namespace brisko::records {

// Booleans shared between the parts of the program are 16-bit values: True is -1, False is 0.
inline constexpr std::int16_t kTrue = -1;
inline constexpr std::int16_t kFalse = 0;

// The outcome of the archive most recently dispatched, and the run-wide cancel request.
struct ExtractionResult {
    std::int16_t Succeeded = kFalse;
    std::int16_t CancelRequested = kFalse;
    // Why the engine turned an entry of that archive down, when the reason is the run's rather than
    // the archive's ("not enough free space"); empty otherwise.
    std::string FailureReason;
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

// The archive files of the pass in hand, as the batch run and the engines share them.
struct PassFiles {
    // Every archive and volume of the pass, sorted by device and inode: no entry may replace one.
    std::vector<BriskoFileId> protectedFiles;

    struct Read {
        std::string path;
        BriskoFileId id{};
        bool changed = false; // opened more than once, and not the same file each time
    };
    // What the engine opened for the archive in hand, in order, each path once.
    std::vector<Read> read;
    // Whether the engine tells what it opens; when it does not, `read` is empty and names decide.
    bool readReported = false;
};

// Everything that lives for the whole process, created once at start-up and handed on by reference.
struct ProcessState {
    Settings settings;
    ExtractionResult result;
    UnzipOptions unzipOptions;
    PassFiles passFiles;
    // Every archive path handled in this process, in handling order, duplicates allowed; it keeps a
    // path from being extracted twice across passes.
    std::vector<std::string> DoneList;
    // Set by a program that stops on a signal (brisko-extract): once the signal number is in it, the
    // engines abandon the entry they are writing. The window leaves it null: its Cancel waits for
    // the entry in hand.
    const volatile std::sig_atomic_t* stopSignal = nullptr;
};

} // namespace brisko::records
