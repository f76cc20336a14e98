#pragma once

#include <functional>
#include <string>
#include <vector>

namespace brisko::test {

struct ProcessResult {
    int exitStatus = -1; // -1 when it did not exit normally
    bool timedOut = false;
};

// Runs a program with `environment` ("NAME=value") added to this process's, without standard input,
// and waits for it. While it runs, `whileRunning` is called about every 50 ms. After `timeoutSeconds`
// the program is killed and timedOut is set.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         double timeoutSeconds, const std::function<void()>& whileRunning = {});

} // namespace brisko::test
