// The runner's module: marrowick.so beside the program, or the one
// MARROWICK_MODULE names, loaded as a host loads it.
#include <limits.h>
#include <unistd.h>

#include <string>

#include "load_module.h"
#include "runner.h"

namespace runner {
namespace {

// marrowick.so beside this program.
std::string moduleBesideProgram() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "./marrowick.so";
    self[n] = '\0';
    std::string dir(self);
    dir.erase(dir.find_last_of('/') + 1);
    return dir + "marrowick.so";
}

}  // namespace

MexFunction loadModule() {
    std::string error;
    const MexFunction fn = mxhost::loadEntryPoint(mxhost::modulePath(moduleBesideProgram()), error);
    if (fn == nullptr) die(error);
    return fn;
}

}  // namespace runner
