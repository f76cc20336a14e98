#include "support/Process.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace brisko::test {

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         double timeoutSeconds, const std::function<void()>& whileRunning) {
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    const pid_t child = fork();
    if (child < 0) {
        return {};
    }
    if (child == 0) {
        for (const auto& entry : environment) {
            putenv(const_cast<char*>(entry.c_str()));
        }
        const int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }

    ProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            result.timedOut = true;
            return result;
        }
        if (whileRunning) {
            whileRunning();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

} // namespace brisko::test
