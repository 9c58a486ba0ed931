// Shared parts of the runner: the one-line error rule, the output files, the
// module and the commands.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "marrowick/mex.h"

namespace runner {

// The text with every control character (C0, DEL, C1) and every byte that is
// not part of well-formed UTF-8 written as \xNN, so that echoing a path,
// argument or environment value can never break the one-line error rule.
std::string printable(const std::string& text);

// Prints "marrowick: <message>" as one line on stderr, removes any temporary
// file still in flight and exits with status 1.
[[noreturn]] void die(const std::string& message);

// Flushes standard output; a failed write (a full device) is an error.
int finishStdout(int status);

// Removes temporaries on SIGINT, SIGTERM and SIGHUP before the signal ends
// the program; a closed pipe becomes a write error instead of a signal.
void installSignalHandlers();

// One output file. A regular file (or a new one) is written to a temporary
// beside it and renamed over it when published: an unnamed one where the
// file system makes one (linked to a name only while it is published), else
// a named one; a symbolic link is followed
// and the file it points to is replaced, the link stays. Anything else (a
// character device, a FIFO, a pipe or socket through /dev/stdout, /dev/fd/N
// or /proc/self/fd/N) is written straight into, never replaced.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    // Resolves the name and checks that it can be written; role names the
    // argument in errors ("Y", "ZF", ...). Touches nothing.
    void prepare(const std::string& given, const std::string& role);
    // Creates the temporary and opens its directory, refusing one that cannot
    // be locked and synced; or opens the device or FIFO.
    void open();
    // Opens a scratch file in dir that is never published and has no name
    // anyone else can reach: an unnamed file, or a new name of its own
    // (created exclusively, links not followed) removed at once.
    void openScratch(const std::string& dir, const std::string& role);
    // Whether writes may come in any order.
    bool seekable() const { return seekable_; }
    // Writes bytes at an offset from the start of the file; a FIFO takes
    // only the offset where the last write ended.
    void writeAt(std::uint64_t at, const void* data, std::size_t bytes);
    // Reads back what was written, from the temporary (not from a device).
    void readAt(std::uint64_t at, void* data, std::size_t bytes);
    // All data written: the temporary gets its mode and reaches the disk.
    void finish();

    const std::string& given() const { return given_; }
    const std::string& target() const { return target_; }
    // The directory the temporary goes to (after prepare, for a file).
    const std::string& directory() const { return dir_; }
    bool direct() const { return direct_; }

private:
    friend void publish(OutputFile* first, OutputFile* second);
    friend class Publication;
    void openDirect();
    void checkDirectory();
    void nameTemporary();
    void checkReplaceable() const;
    std::string what() const;

    std::string given_, role_, target_, dir_;
    std::string temporary_;  // empty while the temporary has no name
    int slot_ = -1;          // in the table of temporaries the signal handler removes
    int fd_ = -1;
    int dirFd_ = -1;       // the directory, for the lock and the sync
    int descriptor_ = -1;  // the descriptor /dev/stdout and the like name
    bool direct_ = false, exists_ = false, seekable_ = true;
    struct stat old_ {};
    std::uint64_t position_ = 0;
};

// Replaces the regular targets by their temporaries, both or neither (second
// may be null): under a lock on their directories, after checking that both
// can be replaced, restoring the first if the second still fails (with or
// without an atomic exchange); the directories are synced afterwards.
void publish(OutputFile* first, OutputFile* second);

// Whether two paths name one file: the same inode when both exist, else the
// same canonical spelling.
bool sameFile(const std::string& p, const std::string& q);

// The module's entry point, loaded as a host loads it; dies if it cannot be.
MexFunction loadModule();

// The commands, each given main's arguments: marrowick filter B.npy A.npy
// X.npy ZI.npy Y.npy ZF.npy; marrowick sosfilt SOS.npy X.npy ZI.npy Y.npy
// ZF.npy; marrowick demo [DIR].
int filterFiles(int argc, char** argv);
int sosfiltFiles(int argc, char** argv);
// marrowick filtfilt B.npy A.npy X.npy Y.npy; marrowick sosfiltfilt SOS.npy
// X.npy Y.npy (sections is whether it is the second).
int zeroPhaseFiles(int argc, char** argv, bool sections);
int runDemo(int argc, char** argv);

}  // namespace runner
