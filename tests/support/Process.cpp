#include "support/Process.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace brisko::test {

pid_t StartProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                   const ProcessOptions& options, int* output) {
    const bool capture = options.captureOutput || options.captureErrors;
    int pipeEnds[2] = {-1, -1};
    if (argv.empty() || (capture && pipe(pipeEnds) != 0)) {
        return -1;
    }
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        for (const auto& entry : environment) {
            const auto equals = entry.find('=');
            if (equals == std::string::npos) {
                unsetenv(entry.c_str());
            } else {
                setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
            }
        }
        if (!options.workingFolder.empty() && chdir(options.workingFolder.c_str()) != 0) {
            _exit(126);
        }
        const int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        if (capture) {
            if (options.captureOutput) {
                dup2(pipeEnds[1], STDOUT_FILENO);
            }
            if (options.captureErrors) {
                dup2(pipeEnds[1], STDERR_FILENO);
            }
            close(pipeEnds[0]);
            close(pipeEnds[1]);
        }
        options.searchPath ? execvp(args[0], args.data()) : execv(args[0], args.data());
        _exit(127);
    }
    if (capture) {
        close(pipeEnds[1]);
        if (child < 0 || output == nullptr) {
            close(pipeEnds[0]);
        } else {
            *output = pipeEnds[0];
        }
    }
    return child;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         double timeoutSeconds, const ProcessOptions& options) {
    ProcessResult result;
    int output = -1;
    const pid_t child = StartProcess(argv, environment, options, &output);
    if (child < 0) {
        return result;
    }
    if (output >= 0) {
        fcntl(output, F_SETFL, O_NONBLOCK);
    }
    auto drain = [&] {
        char buffer[4096];
        ssize_t got = 0;
        while (output >= 0 && (got = read(output, buffer, sizeof buffer)) > 0) {
            result.output.append(buffer, static_cast<std::size_t>(got));
        }
    };
    // A captured program is watched closely, so that its pipe never fills up.
    const auto pause = std::chrono::milliseconds(output >= 0 ? 5 : 50);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        drain();
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(pause);
    }
    drain();
    if (output >= 0) {
        close(output);
    }
    if (!result.timedOut) {
        result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return result;
}

} // namespace brisko::test

namespace brisko::test {

bool WaitUntilWritingBelow(pid_t pid, const std::string& folder, double timeoutSeconds) {
    const auto writing = [&] {
        std::error_code error;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
            const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
            if (target.starts_with(folder + "/") && target.ends_with(" (deleted)")) {
                return true;
            }
        }
        return false;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (!writing()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace brisko::test
