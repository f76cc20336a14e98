#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace brisko::test {

struct ProcessResult {
    int exitStatus = -1; // -1 when it did not exit normally or could not start
    bool timedOut = false;
    std::string output; // what it wrote, when asked for
};

struct ProcessOptions {
    std::string workingFolder; // empty: this process's
    bool captureOutput = false; // standard output into ProcessResult::output
    bool captureErrors = false; // standard error too, interleaved with the output
    bool searchPath = false;    // argv[0] is a program name looked up on PATH, not a path
};

// Starts a program with `environment` ("NAME=value"; a bare "NAME" removes it) set on top of this
// process's, without standard input. Returns its process id, or -1. With output captured, `output` receives the reading end of
// the pipe (the caller closes it).
pid_t StartProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                   const ProcessOptions& options = {}, int* output = nullptr);

// Starts a program as StartProcess does and waits for it. After `timeoutSeconds` the program is killed
// and timedOut is set.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         double timeoutSeconds, const ProcessOptions& options = {});

// Waits until process `pid` holds an unnamed file open in `folder` or below it (an entry being written:
// the engines keep a file unnamed until it is whole, in its own folder or, decoded on a worker thread,
// in the destination); false after `timeoutSeconds`.
bool WaitUntilWritingBelow(pid_t pid, const std::string& folder, double timeoutSeconds);

} // namespace brisko::test
