#pragma once
// Runs a program as a child process, on a pipe, a closed pipe or a terminal, optionally as another
// user, and collects what it printed. Needs libutil (forkpty).

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <map>
#include <optional>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/support/Helpers.h"

extern char** environ;

namespace keelbox::test {

struct ProcessResult {
    int exitCode = -1;
    int signal = 0; // the signal that ended the process, 0 when it exited
    std::string out;
    std::string err;
};

struct ProcessOptions {
    // Replaces these variables (an empty value removes one) in a copy of our environment with
    // every locale variable cleared, so the host's locale never leaks in.
    std::map<std::string, std::string> environment{};
    std::string workingFolder{};
    std::optional<uid_t> asUser{};      // user and group id to drop to before running
    bool closedOutput = false;          // standard output is a pipe nobody reads
    unsigned short terminalColumns = 0; // non-zero: run on a terminal this wide
    // Called with the child's id and everything printed so far whenever more arrives.
    std::function<void(pid_t, const std::string&)> onOutput{};
};

inline ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                                const ProcessOptions& options = {}) {
    std::vector<std::string> argvText{program}, envText;
    argvText.insert(argvText.end(), args.begin(), args.end());
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry, name = text.substr(0, text.find('='));
        if (!options.environment.contains(name) && name != "LANGUAGE" && name != "LC_ALL" &&
            name != "LC_MESSAGES" && name != "LANG")
            envText.push_back(text);
    }
    for (const auto& [name, value] : options.environment)
        if (!value.empty())
            envText.push_back(name + "=" + value);
    std::vector<char*> argv, envp;
    for (auto [texts, pointers] : {std::pair{&argvText, &argv}, std::pair{&envText, &envp}}) {
        for (std::string& text : *texts)
            pointers->push_back(text.data());
        pointers->push_back(nullptr);
    }

    char errPath[] = "/tmp/keelbox-test-err-XXXXXX";
    const int errFd = ::mkstemp(errPath);
    int out[2] = {-1, -1};
    pid_t pid = -1;
    if (options.terminalColumns != 0) {
        winsize size{
            .ws_row = 24, .ws_col = options.terminalColumns, .ws_xpixel = 0, .ws_ypixel = 0};
        pid = ::forkpty(&out[0], nullptr, nullptr, &size);
    } else if (::pipe(out) == 0) {
        if (options.closedOutput) {
            ::close(out[0]);
            out[0] = -1;
        }
        pid = ::fork();
    }
    if (pid == 0) {
        if (options.terminalColumns == 0) {
            ::dup2(::open("/dev/null", O_RDONLY), STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(errFd, STDERR_FILENO);
        }
        if (!options.workingFolder.empty() && ::chdir(options.workingFolder.c_str()) != 0)
            ::_exit(126);
        if (options.asUser && (::setgroups(0, nullptr) != 0 || ::setgid(*options.asUser) != 0 ||
                               ::setuid(*options.asUser) != 0))
            ::_exit(126);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ProcessResult result;
    ::close(out[1]);
    char buffer[4096];
    ssize_t n = 0;
    // Up to the end of the pipe, or EIO once the terminal's child has gone.
    while (pid > 0 && out[0] >= 0 &&
           ((n = ::read(out[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))) {
        if (n > 0)
            result.out.append(buffer, static_cast<std::size_t>(n));
        if (n > 0 && options.onOutput)
            options.onOutput(pid, result.out);
    }
    ::close(out[0]);
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = pid > 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    ::close(errFd);
    result.err = readFile(errPath);
    ::unlink(errPath);
    return result;
}

} // namespace keelbox::test
