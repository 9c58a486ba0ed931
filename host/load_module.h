// Loads a built module as a host does (dlopen, then its one export) and
// returns its entry point: the runner's loader builds on it, and the tests
// and benchmarks load the module of their build with loadMarrowickModule.
#pragma once

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "marrowick/mex.h"

namespace mxhost {

// MARROWICK_MODULE from the environment when it is set and not empty, else
// the fallback.
inline std::string modulePath(const std::string& fallback) {
    const char* env = std::getenv("MARROWICK_MODULE");
    return env != nullptr && *env != '\0' ? std::string(env) : fallback;
}

// The entry point of the module at path, or null with a one-line reason.
inline MexFunction loadEntryPoint(const std::string& path, std::string& error) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        error = "cannot load the module " + path + ": " + (why != nullptr ? why : "unknown error");
        return nullptr;
    }
    void* symbol = dlsym(handle, "mexFunction");
    if (symbol == nullptr) {
        error = "the module " + path + " does not export mexFunction";
        return nullptr;
    }
    MexFunction fn;
    static_assert(sizeof fn == sizeof symbol, "function and data pointers differ in size");
    std::memcpy(&fn, &symbol, sizeof fn);
    return fn;
}

}  // namespace mxhost

// For tests and benchmarks: the module at MARROWICK_MODULE, else the one the
// build passes in as MARROWICK_MODULE_PATH, loaded once; aborts when it
// cannot be loaded.
inline MexFunction loadMarrowickModule() {
    static MexFunction entry = [] {
#ifdef MARROWICK_MODULE_PATH
        const std::string path = mxhost::modulePath(MARROWICK_MODULE_PATH);
#else
        const std::string path = mxhost::modulePath("");
#endif
        if (path.empty()) {
            std::fprintf(stderr, "set MARROWICK_MODULE to the module's path\n");
            std::abort();
        }
        std::string error;
        const MexFunction fn = mxhost::loadEntryPoint(path, error);
        if (fn == nullptr) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::abort();
        }
        return fn;
    }();
    return entry;
}
