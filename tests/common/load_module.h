// Loads the built module as a host does and returns its entry point. The
// path is MARROWICK_MODULE from the environment, else the one the build
// passes in as MARROWICK_MODULE_PATH.
#pragma once

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "marrowick/mex.h"

inline MexFunction loadMarrowickModule() {
    static MexFunction entry = [] {
        const char* path = std::getenv("MARROWICK_MODULE");
#ifdef MARROWICK_MODULE_PATH
        if (path == nullptr || *path == '\0') path = MARROWICK_MODULE_PATH;
#endif
        if (path == nullptr) {
            std::fprintf(stderr, "set MARROWICK_MODULE to the module's path\n");
            std::abort();
        }
        void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        void* symbol = handle != nullptr ? dlsym(handle, "mexFunction") : nullptr;
        if (symbol == nullptr) {
            std::fprintf(stderr, "cannot load mexFunction from %s: %s\n", path, dlerror());
            std::abort();
        }
        MexFunction fn;
        std::memcpy(&fn, &symbol, sizeof fn);
        return fn;
    }();
    return entry;
}
