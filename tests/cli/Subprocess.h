#pragma once
// Runs the built `keelbox` binary as a child process and collects what it printed.

#include <map>
#include <string>
#include <vector>

namespace keelbox::test {

struct ProcessResult {
    int exitCode = -1;
    // The signal that ended the process, 0 when it exited.
    int signal = 0;
    std::string out;
    std::string err;
};

struct ProcessOptions {
    // Replaces these variables (an empty value removes the variable) in a copy of our own
    // environment with every locale variable cleared, so the host's locale never leaks in.
    std::map<std::string, std::string> environment;
    std::string workingFolder;
};

// Runs `program` with `args`, waits for it, and returns its exit status and output.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options = {});

} // namespace keelbox::test
