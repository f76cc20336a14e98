#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

// Helpers for the checks of the installed tree and of the file-manager actions.
namespace brisko::test {

struct CommandResult {
    int exitStatus = -1; // -1 when it did not exit normally or could not start
    std::string output;  // standard output and standard error, interleaved
};

// Runs `argv` (argv[0] a path) in `workingFolder` (empty: this process's) with `environment`
// ("NAME=value") set on top of this process's environment, without standard input. Killed after
// `timeoutSeconds`.
CommandResult RunCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         const std::string& workingFolder = {}, int timeoutSeconds = 60);

// The regular files and links below `root`, by relative path: content (a link: "-> target") and mode.
struct FileState {
    std::string content;
    mode_t mode = 0;
    bool operator==(const FileState&) const = default;
};
std::map<std::string, FileState> FilesBelow(const std::string& root);

mode_t PermissionsOf(const std::string& path); // permission bits; 0 when it does not exist

// A program on PATH that appends what it was called with to the file named by $BRISKO_RECORD:
// "argc=N" and then each argument as "[argument]", one per line.
void WriteRecordingProgram(const std::string& path);

// Quoted for a POSIX shell, as a file manager quotes a path it puts in a command line.
std::string ShellQuoted(const std::string& text);

int CountOf(const std::string& text, const std::string& needle);

} // namespace brisko::test
