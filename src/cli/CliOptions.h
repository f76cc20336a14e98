#pragma once

#include <QStringList>
#include <optional>
#include <string>
#include <vector>

#include "records/Settings.h"

namespace brisko::cli {

// What the command line of brisko-extract asks for. Every option left out keeps the settings file's.
struct CliOptions {
    std::vector<std::string> folders;
    std::optional<std::string> into;       // "single", "per-archive", "same"
    std::optional<std::string> subfolder;
    std::optional<std::string> duplicates; // "newer", "always", "never", "ask"
    std::optional<bool> trash, recurse, nested;
    std::optional<std::string> passwordFile;
    bool quiet = false;
    bool json = false;
};

// The outcome of reading the command line: options, or the text to print and the exit status
// (0 for --help and --version, 2 for a usage error).
struct ParsedCommandLine {
    CliOptions options;
    std::optional<std::string> text;
    int status = 0;
};

ParsedCommandLine ParseCommandLine(const QStringList& arguments);

// The settings with the command line's choices put over them. "ask" stays "ask" only on a terminal
// (`interactive`); otherwise it becomes "never", as nobody would answer.
void ApplyOptions(const CliOptions& options, bool interactive, records::Settings& settings);

} // namespace brisko::cli
