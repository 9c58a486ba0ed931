// Writes one small call per kernel as .npy files: DIR/<kernel>/{b,a,x,zi}.npy,
// plus DIR/breach/ whose zi does not fit b and a.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "host.h"
#include "npy.h"

namespace {

mxhost::ArrayPtr values(const std::vector<mwSize>& dims, bool complex, float scale) {
    mxhost::ArrayPtr array = mxhost::makeArray(dims, mxSINGLE_CLASS, complex);
    const std::size_t n = mxGetNumberOfElements(array.get());
    for (int part = 0; part < (complex ? 2 : 1); ++part) {
        float* data = static_cast<float*>(part == 0 ? mxGetData(array.get()) : mxGetImagData(array.get()));
        for (std::size_t i = 0; i < n; ++i) data[i] = scale * static_cast<float>((i * 7 + part * 3) % 11) - 0.3f;
    }
    return array;
}

void write(const std::string& path, const mxhost::ArrayPtr& array) {
    const std::vector<std::uint8_t> bytes = runner::encodeNpy(array.get(), runner::shapeOf(array.get()));
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    mkdir(dir.c_str(), 0755);
    struct Case {
        const char* name;
        unsigned mask;  // complexity of b, a, x, zi
        mwSize ziRows;
    };
    const Case cases[] = {{"rr", 0x0, 3}, {"rrz", 0x8, 3}, {"rc", 0x4, 3},
                          {"cr", 0x2, 3}, {"cc", 0x5, 3},  {"breach", 0x0, 2}};
    for (const Case& c : cases) {
        const std::string sub = dir + "/" + c.name;
        mkdir(sub.c_str(), 0755);
        mxhost::ArrayPtr a = values({4, 1}, c.mask & 2, 0.05f);
        static_cast<float*>(mxGetData(a.get()))[0] = 1.5f;
        write(sub + "/b.npy", values({3, 1}, c.mask & 1, 0.1f));
        write(sub + "/a.npy", a);
        write(sub + "/x.npy", values({50, 2, 2}, c.mask & 4, 0.2f));
        write(sub + "/zi.npy", values({c.ziRows, 4}, c.mask & 8, 0.01f));
    }
    return 0;
}
