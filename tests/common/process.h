// Helpers for tests that run a program as a separate process or watch this
// process's memory.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace testproc {

struct ProgramRun {
    int status = -1;  // exit status, or 128 + the signal that ended it
    std::string out, err;
    long peakKb = 0;  // the program's peak resident memory
};

// How to run it, beyond the arguments.
struct ProgramOptions {
    std::vector<std::pair<std::string, std::string>> env;  // set in the child
    std::string stdoutPath;                                // instead of capturing
    uid_t uid = 0;                                         // switch to it when non-zero (as root)
};

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Starts program with args, its standard output and error going to the
// given files. The MARROWICK_MODULE override is cleared so the program finds
// its own module.
inline pid_t startProgram(const std::string& program, const std::vector<std::string>& args, const std::string& outPath,
                          const std::string& errPath, const ProgramOptions& options = {}) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        unsetenv("MARROWICK_MODULE");
        for (const auto& [name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
        if (options.uid != 0 && (setgid(options.uid) != 0 || setuid(options.uid) != 0)) _exit(126);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

// Waits for a started program: its status and peak memory.
inline ProgramRun waitProgram(pid_t pid) {
    ProgramRun run;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.peakKb = usage.ru_maxrss;
    return run;
}

// Runs program with args, capturing its standard output and error.
inline ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args,
                             const ProgramOptions& options = {}) {
    char pattern[] = "/tmp/marrowick-capture-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return {};
    const std::string capture = pattern;
    const std::string outPath = options.stdoutPath.empty() ? capture + "/out" : options.stdoutPath;
    const std::string errPath = capture + "/err";
    ProgramRun run = waitProgram(startProgram(program, args, outPath, errPath, options));
    if (options.stdoutPath.empty()) run.out = slurp(outPath), std::remove(outPath.c_str());
    run.err = slurp(errPath);
    std::remove(errPath.c_str());
    rmdir(capture.c_str());
    return run;
}

// Resident memory of this process, in bytes.
inline std::size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace testproc
