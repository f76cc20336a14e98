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

#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace brisko::test {

CommandResult RunCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         const std::string& workingFolder, int timeoutSeconds) {
    CommandResult result;
    int pipeEnds[2];
    if (argv.empty() || pipe(pipeEnds) != 0) {
        return result;
    }
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        return result;
    }
    if (child == 0) {
        for (const auto& entry : environment) {
            const auto equals = entry.find('=');
            setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
        }
        if (!workingFolder.empty() && chdir(workingFolder.c_str()) != 0) {
            _exit(126);
        }
        const int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        dup2(pipeEnds[1], STDOUT_FILENO);
        dup2(pipeEnds[1], STDERR_FILENO);
        close(pipeEnds[0]);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    char buffer[4096];
    for (;;) {
        ssize_t got;
        while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0) {
            result.output.append(buffer, static_cast<std::size_t>(got));
        }
        if (waitpid(child, &status, WNOHANG) == child) {
            while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0) {
                result.output.append(buffer, static_cast<std::size_t>(got));
            }
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            close(pipeEnds[0]);
            result.output += "\n[killed after the time limit]";
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(pipeEnds[0]);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
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
