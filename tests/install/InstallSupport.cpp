#include "install/InstallSupport.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/Process.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace brisko::test {

CommandResult RunCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         const std::string& workingFolder, int timeoutSeconds) {
    ProcessOptions options;
    options.workingFolder = workingFolder;
    options.captureOutput = true;
    options.captureErrors = true;
    const ProcessResult run = RunProcess(argv, environment, timeoutSeconds, {}, options);
    return {run.exitStatus, run.timedOut ? run.output + "\n[killed after the time limit]" : run.output};
}

std::map<std::string, FileState> FilesBelow(const std::string& root) {
    std::map<std::string, FileState> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string relative = fs::relative(it->path(), root).string();
        if (it->is_symlink()) {
            files[relative] = {"-> " + fs::read_symlink(it->path()).string(), 0777};
        } else if (it->is_regular_file()) {
            files[relative] = {ReadFile(it->path().string()), PermissionsOf(it->path().string())};
        }
    }
    return files;
}

mode_t PermissionsOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

void WriteRecordingProgram(const std::string& path) {
    WriteFile(
        path,
        "#!/bin/sh\n"
        "{ printf 'argc=%s\\n' \"$#\"; for a do printf '[%s]\\n' \"$a\"; done; } >>\"$BRISKO_RECORD\"\n");
    chmod(path.c_str(), 0755);
}

std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

int CountOf(const std::string& text, const std::string& needle) {
    int count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

} // namespace brisko::test
