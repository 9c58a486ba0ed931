// Output files written safely: temporaries beside the targets, synced and
// renamed into place both or neither, links followed, devices and FIFOs
// written into, temporaries removed on any error or signal.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "runner.h"

namespace runner {
namespace {

// Temporaries in flight, for the signal handler and for die(): fixed storage,
// as a handler may only call async-signal-safe functions.
constexpr int kSlots = 4;
char temporaries[kSlots][PATH_MAX + 1];
volatile sig_atomic_t slotUsed[kSlots];

// The name of a temporary beside its target: "XXXXXX" is made unique.
constexpr const char* kTemporaryName = "/.marrowick-XXXXXX";

// A free slot, holding the name given but not yet in use.
int takeSlot(const char* name) {
    int slot = 0;
    while (slot < kSlots && slotUsed[slot]) ++slot;
    if (slot == kSlots) die("too many temporary files");
    std::memcpy(temporaries[slot], name, std::strlen(name) + 1);
    return slot;
}

// The name /proc gives a descriptor of this process.
std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

void removeTemporaries() {
    for (int i = 0; i < kSlots; ++i) {
        if (slotUsed[i]) {
            unlink(temporaries[i]);
            slotUsed[i] = 0;
        }
    }
}

void onSignal(int sig) {
    removeTemporaries();
    signal(sig, SIG_DFL);
    raise(sig);
}

// Blocks the handled signals for the life of the object.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

private:
    sigset_t old_;
};

mode_t currentUmask() {
    static const mode_t mask = [] {
        const mode_t m = umask(0);
        umask(m);
        return m;
    }();
    return mask;
}

std::string dirOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows symbolic links to the file they end at, which need not exist.
std::string followLinks(const std::string& path) {
    std::string p = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        char buf[PATH_MAX];
        const ssize_t n = readlink(p.c_str(), buf, sizeof buf - 1);
        if (n <= 0) return p;
        const std::string link(buf, static_cast<std::size_t>(n));
        p = link[0] == '/' ? link : dirOf(p) + "/" + link;
    }
    return p;
}

std::string canonicalNewPath(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    char resolved[PATH_MAX];
    if (realpath(dirOf(path).c_str(), resolved) == nullptr) return "";
    return std::string(resolved) + "/" + base;
}

bool writeAll(int fd, const void* data, std::size_t bytes, std::int64_t at) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < bytes) {
        const ssize_t w = at >= 0 ? pwrite(fd, p + done, bytes - done, static_cast<off_t>(at + done))
                                  : write(fd, p + done, bytes - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(w);
    }
    return true;
}

// Test hook: MARROWICK_TEST_PUBLISH lists, comma-separated, failures to
// inject while writing and publishing: "no-tmpfile" (the file system makes
// no unnamed files), "no-exchange" (nor atomic exchanges), "no-link" (nor
// hard links), "fail-second" (the second output's
// rename fails). Read by nothing but the runner, for the tests of the
// fallbacks.
bool injected(const char* failure) {
    const char* env = std::getenv("MARROWICK_TEST_PUBLISH");
    if (env == nullptr) return false;
    const std::string list = std::string(",") + env + ",";
    return list.find(std::string(",") + failure + ",") != std::string::npos;
}

// The descriptor an output name stands for, or -1: /dev/stdout,
// /dev/stderr, /dev/fd/N and /proc/self/fd/N.
int descriptorNamed(const std::string& path) {
    if (path == "/dev/stdout") return STDOUT_FILENO;
    if (path == "/dev/stderr") return STDERR_FILENO;
    for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        const std::size_t n = std::strlen(prefix);
        if (path.compare(0, n, prefix) != 0 || path.size() == n || path.size() > n + 9) continue;
        int fd = 0;
        for (std::size_t i = n; i < path.size(); ++i) {
            if (path[i] < '0' || path[i] > '9') return -1;
            fd = fd * 10 + (path[i] - '0');
        }
        return fd;
    }
    return -1;
}

// Where a directory stands, for locking directories in one order.
bool sameDirectory(int a, int b) {
    struct stat sa {
    }, sb{};
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
bool lockedFirst(int a, int b) {
    struct stat sa {
    }, sb{};
    fstat(a, &sa);
    fstat(b, &sb);
    return sa.st_dev != sb.st_dev ? sa.st_dev < sb.st_dev : sa.st_ino < sb.st_ino;
}

}  // namespace

std::string printable(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    const auto escape = [&](unsigned char c) {
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 15];
    };
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f) escape(c);
            else out += static_cast<char>(c);
            ++i;
            continue;
        }
        // A well-formed UTF-8 sequence that is not a C1 control passes.
        std::size_t len = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
        std::uint32_t cp = len == 2 ? c & 0x1f : len == 3 ? c & 0x0f : c & 0x07;
        for (std::size_t k = 1; k < len; ++k) {
            if (i + k >= n || (s[i + k] & 0xc0) != 0x80) {
                len = 0;
                break;
            }
            cp = (cp << 6) | (s[i + k] & 0x3f);
        }
        const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10ffff));
        if (len == 0 || overlong || (cp >= 0xd800 && cp <= 0xdfff) || (cp >= 0x80 && cp <= 0x9f)) {
            escape(c);
            ++i;
        } else {
            out.append(text, i, len);
            i += len;
        }
    }
    return out;
}

void die(const std::string& message) {
    removeTemporaries();
    std::fprintf(stderr, "marrowick: %s\n", printable(message).c_str());
    std::exit(1);
}

int finishStdout(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        die(std::string("cannot write to standard output: ") + std::strerror(errno));
    return status;
}

void installSignalHandlers() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool sameFile(const std::string& p, const std::string& q) {
    struct stat a {
    }, b{};
    const bool pExists = stat(p.c_str(), &a) == 0, qExists = stat(q.c_str(), &b) == 0;
    if (pExists && qExists) return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    if (pExists || qExists) return false;
    const std::string cp = canonicalNewPath(followLinks(p)), cq = canonicalNewPath(followLinks(q));
    return cp.empty() || cq.empty() ? p == q : cp == cq;
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) close(fd_);
    if (dirFd_ >= 0) close(dirFd_);
    if (slot_ >= 0 && slotUsed[slot_]) {
        unlink(temporaries[slot_]);
        slotUsed[slot_] = 0;
    }
}

std::string OutputFile::what() const { return role_ + " (" + given_ + ")"; }

void OutputFile::prepare(const std::string& given, const std::string& role) {
    given_ = given;
    role_ = role;
    if (given.empty()) die("an output file name is empty");
    struct stat st {};
    // Something other than a file or a directory, however it is reached
    // (/dev/stdout on a pipe included), is written into as it is.
    if (stat(given.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        target_ = given;
        exists_ = direct_ = true;
        old_ = st;
        descriptor_ = descriptorNamed(given);
        return;
    }
    target_ = followLinks(given);
    dir_ = dirOf(target_);
    exists_ = stat(target_.c_str(), &st) == 0;
    if (exists_ && S_ISDIR(st.st_mode)) die(given + ": is a directory, not an output file");
    direct_ = exists_ && !S_ISREG(st.st_mode);
    old_ = st;
    if (exists_ && !direct_) checkReplaceable();
}

// A file in a sticky directory may be replaced only by its owner, the
// directory's owner or a privileged user: find out before anything is
// written, and again just before publishing.
void OutputFile::checkReplaceable() const {
    struct stat dir {
    }, file{};
    if (stat(dir_.c_str(), &dir) != 0 || !(dir.st_mode & S_ISVTX)) return;
    if (lstat(target_.c_str(), &file) != 0) return;
    const uid_t me = geteuid();
    if (me != 0 && me != file.st_uid && me != dir.st_uid) {
        die(what() + ": cannot be replaced: it belongs to another user in a sticky directory");
    }
}

void OutputFile::open() {
    if (direct_) {
        openDirect();
        return;
    }
    // A short name of its own, so that a target name of the full 255 bytes
    // still leaves room for it.
    if (dir_.size() + std::strlen(kTemporaryName) > PATH_MAX) {
        die(given_ + ": cannot create a file there: name too long");
    }
    SignalsHeld held;
    // An unnamed file where the file system makes one, so that nothing is
    // left behind whatever ends the run (even SIGKILL); it gets a name only
    // when it is published. Linking it needs /proc, as an unprivileged
    // process links an open file through its descriptor there.
    if (!injected("no-tmpfile")) fd_ = ::open(dir_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ >= 0 && access(procPath(fd_).c_str(), F_OK) != 0) {
        close(fd_);
        fd_ = -1;
    }
    if (fd_ < 0) {
        const int slot = takeSlot((dir_ + kTemporaryName).c_str());
        fd_ = mkostemp(temporaries[slot], O_CLOEXEC);
        if (fd_ < 0) die(given_ + ": cannot create a file there: " + std::strerror(errno));
        slotUsed[slot] = 1;
        slot_ = slot;
        temporary_ = temporaries[slot];
    }
    checkDirectory();
}

void OutputFile::openScratch(const std::string& dir, const std::string& role) {
    given_ = dir;
    role_ = role;
    if (dir.size() + std::strlen(kTemporaryName) > PATH_MAX)
        die(what() + ": cannot create a file there: name too long");
    SignalsHeld held;
    if (!injected("no-tmpfile")) fd_ = ::open(dir.c_str(), O_TMPFILE | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        char name[PATH_MAX + 1];
        std::memcpy(name, (dir + kTemporaryName).c_str(), dir.size() + std::strlen(kTemporaryName) + 1);
        fd_ = mkostemp(name, O_CLOEXEC | O_NOFOLLOW);
        if (fd_ < 0) die(what() + ": cannot create a file there: " + std::strerror(errno));
        unlink(name);
    }
}

void OutputFile::openDirect() {
    // A descriptor of this process is taken as it is: a socket behind
    // /dev/stdout cannot be opened again.
    if (descriptor_ >= 0) {
        const int flags = fcntl(descriptor_, F_GETFL);
        if (flags >= 0 && (flags & O_ACCMODE) == O_RDONLY) {
            die(given_ + ": cannot open for writing: the descriptor is open for reading only");
        }
        fd_ = fcntl(descriptor_, F_DUPFD_CLOEXEC, 3);
    } else {
        fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    }
    if (fd_ < 0) die(given_ + ": cannot open for writing: " + std::strerror(errno));
    seekable_ = lseek(fd_, 0, SEEK_CUR) >= 0;
}

// The directory is locked while the outputs are published and synced after:
// a directory that can be written but neither locked nor synced (one that
// cannot be read, a file system without locks) is refused now, before
// anything is replaced.
void OutputFile::checkDirectory() {
    dirFd_ = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd_ < 0) {
        die(what() + ": its directory cannot be opened to lock and sync it: " + std::strerror(errno));
    }
    int locked = 0;
    while ((locked = flock(dirFd_, LOCK_SH | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (locked != 0 && errno != EWOULDBLOCK) die(what() + ": its directory cannot be locked: " + std::strerror(errno));
    if (locked == 0) flock(dirFd_, LOCK_UN);
    if (fsync(dirFd_) != 0) die(what() + ": its directory cannot be synced: " + std::strerror(errno));
}

// An unnamed temporary gets a name beside its target, in the table the
// signal handler and die() clear; the publishing goes on as for a named
// one. (Called with the signals held.)
void OutputFile::nameTemporary() {
    if (!temporary_.empty()) return;
    const int slot = takeSlot((dir_ + kTemporaryName).c_str());
    char* name = temporaries[slot];
    const std::size_t length = std::strlen(name);
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[6];
        if (getrandom(random, sizeof random, 0) != sizeof random) break;
        for (int k = 0; k < 6; ++k) name[length - 6 + k] = letters[random[k] % 62];
        slotUsed[slot] = 1;
        if (linkat(AT_FDCWD, procPath(fd_).c_str(), AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0) {
            slot_ = slot;
            temporary_ = name;
            close(fd_);
            fd_ = -1;
            return;
        }
        slotUsed[slot] = 0;
        if (errno != EEXIST) break;
    }
    die(what() + ": cannot give the new file a name in its directory: " + std::strerror(errno));
}

void OutputFile::writeAt(std::uint64_t at, const void* data, std::size_t bytes) {
    bool ok = true;
    if (seekable_) {
        ok = writeAll(fd_, data, bytes, static_cast<std::int64_t>(at));
    } else {
        if (at != position_) die(what() + ": cannot be written in this order: it is not seekable (a pipe?)");
        ok = writeAll(fd_, data, bytes, -1);
        position_ += bytes;
    }
    if (!ok) die(given_ + ": write failed: " + std::strerror(errno));
}

void OutputFile::readAt(std::uint64_t at, void* data, std::size_t bytes) {
    auto* p = static_cast<std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < bytes) {
        const ssize_t r = pread(fd_, p + done, bytes - done, static_cast<off_t>(at + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0)
            die(given_ + ": reading back its temporary failed: " + (r == 0 ? "short file" : std::strerror(errno)));
        done += static_cast<std::size_t>(r);
    }
}

void OutputFile::finish() {
    if (direct_) {
        if (close(fd_) != 0) die(given_ + ": write failed: " + std::strerror(errno));
        fd_ = -1;
        return;
    }
    // A new file gets the mode the umask allows; a replaced one keeps its
    // mode (and, where permitted, its owner).
    const mode_t mode = exists_ ? (old_.st_mode & 07777) : (0666 & ~currentUmask());
    if (exists_ && (old_.st_uid != geteuid() || old_.st_gid != getegid())) {
        if (fchown(fd_, old_.st_uid, old_.st_gid) != 0) {
            // Not permitted: the file becomes ours, as any rewrite would.
        }
    }
    if (fchmod(fd_, mode) != 0 || fsync(fd_) != 0) die(given_ + ": write failed: " + std::strerror(errno));
    // An unnamed temporary stays open until it is named.
    if (temporary_.empty()) return;
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) die(given_ + ": write failed: " + std::strerror(errno));
}

// Publishing one or two outputs: their directories locked in a fixed order,
// the first target's old content kept at hand until the second is in place,
// and put back if the second cannot be.
class Publication {
public:
    Publication(OutputFile* first, OutputFile* second) : first_(first), second_(second) {}
    void run();

private:
    void lockDirectories();
    void keepOldFirst();
    void placeFirst();
    void placeSecond();
    [[noreturn]] void restoreFirst(const std::string& why);
    void finish();

    // Where the first target's old content is while the second is placed:
    // exchanged with the temporary, or where there is no atomic exchange
    // (network file systems), linked (else moved) to a second name.
    enum class Old { gone, exchanged, linked, movedAside };

    OutputFile* first_;
    OutputFile* second_;
    int dirs_[2] = {-1, -1};
    Old old_ = Old::gone;
    bool firstExisted_ = false;
    std::string backup_;
};

void Publication::run() {
    SignalsHeld held;
    lockDirectories();
    first_->nameTemporary();
    if (second_ != nullptr) second_->nameTemporary();
    first_->checkReplaceable();
    if (second_ != nullptr) second_->checkReplaceable();
    keepOldFirst();
    placeFirst();
    placeSecond();
    finish();
}

// Lock the directories in a fixed order, so two runs publishing into the
// same pair of directories take turns instead of interleaving. (A second
// lock on one directory would wait for the first.)
void Publication::lockDirectories() {
    dirs_[0] = first_->dirFd_;
    dirs_[1] = second_ != nullptr ? second_->dirFd_ : -1;
    if (dirs_[1] >= 0 && sameDirectory(dirs_[0], dirs_[1])) dirs_[1] = -1;
    if (dirs_[1] >= 0 && lockedFirst(dirs_[1], dirs_[0])) std::swap(dirs_[0], dirs_[1]);
    for (int fd : dirs_) {
        if (fd < 0) continue;
        int locked = 0;
        while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (locked != 0) die(first_->what() + ": its directory cannot be locked: " + std::strerror(errno));
    }
}

void Publication::keepOldFirst() {
    struct stat st {};
    firstExisted_ = lstat(first_->target_.c_str(), &st) == 0;
    backup_ = first_->temporary_ + "-old";
    if (!firstExisted_ || second_ == nullptr) return;
    const char* temporary = first_->temporary_.c_str();
    const char* target = first_->target_.c_str();
    if (!injected("no-exchange") && renameat2(AT_FDCWD, temporary, AT_FDCWD, target, RENAME_EXCHANGE) == 0) {
        old_ = Old::exchanged;
    } else if (!injected("no-link") && link(target, backup_.c_str()) == 0) {
        old_ = Old::linked;
    } else if (rename(target, backup_.c_str()) == 0) {
        old_ = Old::movedAside;
    } else {
        die(first_->what() + ": cannot keep the old file while it is replaced: " + std::strerror(errno));
    }
}

void Publication::placeFirst() {
    if (old_ == Old::exchanged) return;
    if (rename(first_->temporary_.c_str(), first_->target_.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        if (old_ == Old::linked) unlink(backup_.c_str());
        if (old_ == Old::movedAside) rename(backup_.c_str(), first_->target_.c_str());
        die(first_->given_ + ": cannot write: " + why);
    }
    slotUsed[first_->slot_] = 0;
}

void Publication::placeSecond() {
    if (second_ == nullptr) return;
    if (injected("fail-second")) {
        errno = EIO;
        restoreFirst(std::strerror(errno));
    }
    if (rename(second_->temporary_.c_str(), second_->target_.c_str()) != 0) restoreFirst(std::strerror(errno));
    slotUsed[second_->slot_] = 0;
}

// The second output could not be placed: put the first target back as it
// was.
void Publication::restoreFirst(const std::string& why) {
    if (old_ == Old::exchanged) {
        renameat2(AT_FDCWD, first_->temporary_.c_str(), AT_FDCWD, first_->target_.c_str(), RENAME_EXCHANGE);
    } else if (old_ == Old::linked || old_ == Old::movedAside) {
        if (rename(backup_.c_str(), first_->target_.c_str()) != 0) {
            die(second_->given_ + ": cannot write: " + why + "; the old " + first_->what() + " is kept as " + backup_);
        }
    } else if (!firstExisted_) {
        unlink(first_->target_.c_str());
    }
    die(second_->given_ + ": cannot write: " + why);
}

void Publication::finish() {
    if (old_ == Old::exchanged) {
        unlink(first_->temporary_.c_str());  // now the old content
        slotUsed[first_->slot_] = 0;
    } else if (old_ != Old::gone) {
        unlink(backup_.c_str());
    }
    for (int fd : dirs_) {
        if (fd < 0) continue;
        fsync(fd);
        flock(fd, LOCK_UN);
    }
}

void publish(OutputFile* first, OutputFile* second) {
    if (first != nullptr && first->direct_) first = nullptr;
    if (second != nullptr && second->direct_) second = nullptr;
    if (first == nullptr) std::swap(first, second);
    if (first == nullptr) return;
    Publication(first, second).run();
}

}  // namespace runner
