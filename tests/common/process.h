// Helpers for tests that run a program as a separate process or watch this
// process's memory.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testproc {

struct ProgramRun {
    int status = -1;  // exit status, or 128 + the signal that ended it
    std::string out, err;
};

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Runs program with args, capturing its standard output and error. The
// MARROWICK_MODULE override is cleared so the program finds its own module.
inline ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args) {
    char pattern[] = "/tmp/marrowick-capture-XXXXXX";
    ProgramRun run;
    if (mkdtemp(pattern) == nullptr) return run;
    const std::string capture = pattern;
    const std::string outPath = capture + "/out", errPath = capture + "/err";
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
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = slurp(outPath);
    run.err = slurp(errPath);
    std::remove(outPath.c_str());
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
