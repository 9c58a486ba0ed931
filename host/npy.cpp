#include "npy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>

namespace mxhost {
namespace {

constexpr std::size_t kMaxHeader = 1u << 16;
constexpr int kMaxDims = 32;

// A header value as it appears in an error message: quoted, clipped, with
// tabs, newlines and other control bytes escaped, so the message stays one
// short line.
std::string shown(const std::string& value) {
    constexpr std::size_t kMaxShown = 24;
    std::string out = "'";
    for (std::size_t i = 0; i < value.size() && i < kMaxShown; ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c < 0x20 || c >= 0x7f) {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (value.size() > kMaxShown) out += "...";
    return out + "'";
}

struct Header {
    std::string descr;
    bool fortran = false;
    std::vector<std::size_t> shape;
    bool haveDescr = false, haveOrder = false, haveShape = false;
};

// A small parser for the header's Python dict literal:
// {'descr': '<f4', 'fortran_order': False, 'shape': (3, 4), }
class HeaderParser {
public:
    explicit HeaderParser(const std::string& text) : s_(text) {}

    bool parse(Header& h, std::string& error) {
        skip();
        if (!eat('{')) return fail(error, "header is not a dict");
        while (true) {
            skip();
            if (eat('}')) break;
            std::string key;
            if (!string(key)) return fail(error, "header key is not a string");
            skip();
            if (!eat(':')) return fail(error, "header misses ':' after key");
            skip();
            if (key == "descr") {
                if (!string(h.descr)) return fail(error, "header 'descr' is not a simple dtype string");
                h.haveDescr = true;
            } else if (key == "fortran_order") {
                if (s_.compare(pos_, 4, "True") == 0) {
                    h.fortran = true;
                    pos_ += 4;
                } else if (s_.compare(pos_, 5, "False") == 0) {
                    h.fortran = false;
                    pos_ += 5;
                } else {
                    return fail(error, "header 'fortran_order' is not True or False");
                }
                h.haveOrder = true;
            } else if (key == "shape") {
                if (!tuple(h.shape, error)) return false;
                h.haveShape = true;
            } else {
                return fail(error, "header has unknown key " + shown(key));
            }
            skip();
            if (eat(',')) continue;
            skip();
            if (eat('}')) break;
            return fail(error, "header dict is malformed");
        }
        skip();
        if (pos_ != s_.size()) return fail(error, "header has trailing characters");
        if (!h.haveDescr || !h.haveOrder || !h.haveShape) {
            return fail(error, "header lacks one of 'descr', 'fortran_order', 'shape'");
        }
        return true;
    }

private:
    static bool fail(std::string& error, const std::string& what) {
        error = what;
        return false;
    }
    void skip() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n')) ++pos_;
    }
    bool eat(char c) {
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool string(std::string& out) {
        if (pos_ >= s_.size() || (s_[pos_] != '\'' && s_[pos_] != '"')) return false;
        const char quote = s_[pos_++];
        const std::size_t end = s_.find(quote, pos_);
        if (end == std::string::npos) return false;
        out = s_.substr(pos_, end - pos_);
        pos_ = end + 1;
        return true;
    }
    bool tuple(std::vector<std::size_t>& shape, std::string& error) {
        if (!eat('(')) return fail(error, "header 'shape' is not a tuple");
        while (true) {
            skip();
            if (eat(')')) return true;
            if (pos_ >= s_.size() || !std::isdigit(static_cast<unsigned char>(s_[pos_]))) {
                return fail(error, "header 'shape' holds something other than non-negative integers");
            }
            std::size_t value = 0;
            while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) {
                const std::size_t digit = static_cast<std::size_t>(s_[pos_] - '0');
                if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) {
                    return fail(error, "header 'shape' has a dimension too large");
                }
                value = value * 10 + digit;
                ++pos_;
            }
            if (pos_ < s_.size() && s_[pos_] == 'L') ++pos_;  // old Python 2 longs
            if (shape.size() >= static_cast<std::size_t>(kMaxDims)) {
                return fail(error, "header 'shape' has more than 32 dimensions");
            }
            shape.push_back(value);
            skip();
            if (eat(',')) continue;
            skip();
            if (eat(')')) return true;
            return fail(error, "header 'shape' tuple is malformed");
        }
    }

    const std::string& s_;
    std::size_t pos_ = 0;
};

std::uint32_t readLE(const std::uint8_t* p, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

std::vector<std::size_t> shapeOf(const mxArray* array) {
    const mwSize* d = mxGetDimensions(array);
    return std::vector<std::size_t>(d, d + mxGetNumberOfDimensions(array));
}

bool parseNpy(const std::uint8_t* data, std::size_t size, NpyArray& out, std::string& error) {
    static const std::uint8_t magic[6] = {0x93, 'N', 'U', 'M', 'P', 'Y'};
    if (size < 10 || std::memcmp(data, magic, 6) != 0) {
        error = "not a .npy file (bad magic)";
        return false;
    }
    const int major = data[6];
    std::size_t headerLength = 0, offset = 0;
    if (major == 1) {
        headerLength = readLE(data + 8, 2);
        offset = 10;
    } else if (major == 2 || major == 3) {
        if (size < 12) {
            error = "truncated .npy header";
            return false;
        }
        headerLength = readLE(data + 8, 4);
        offset = 12;
    } else {
        error = "unsupported .npy format version " + std::to_string(major);
        return false;
    }
    if (headerLength > kMaxHeader) {
        error = "header length " + std::to_string(headerLength) + " is implausibly large";
        return false;
    }
    if (headerLength > size - offset) {
        error = "header is truncated: it claims " + std::to_string(headerLength) + " bytes, the file has " +
                std::to_string(size - offset);
        return false;
    }
    const std::string text(reinterpret_cast<const char*>(data + offset), headerLength);
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x7f || (c < 0x20 && c != '\n' && c != '\t')) {
            error = "header holds non-printable bytes";
            return false;
        }
    }
    Header h;
    if (!HeaderParser(text).parse(h, error)) return false;

    bool complex = false;
    if (h.descr == "<f4") {
        complex = false;
    } else if (h.descr == "<c8") {
        complex = true;
    } else if (h.descr == ">f4" || h.descr == ">c8") {
        error = "dtype " + shown(h.descr) + " is big-endian; only little-endian '<f4' and '<c8' are supported";
        return false;
    } else {
        error = "dtype " + shown(h.descr) + " is not supported; use float32 '<f4' or complex64 '<c8'";
        return false;
    }

    std::size_t count = 1;
    for (std::size_t d : h.shape) {
        if (d != 0 && count > std::numeric_limits<std::size_t>::max() / d) {
            error = "shape's element count overflows";
            return false;
        }
        count *= d;
    }
    const std::size_t itemSize = complex ? 8 : 4;
    const std::size_t available = size - offset - headerLength;
    if (count > available / itemSize || count * itemSize != available) {
        if (count <= std::numeric_limits<std::size_t>::max() / itemSize) {
            error = "data holds " + std::to_string(available) + " bytes, the shape needs " +
                    std::to_string(count * itemSize);
        } else {
            error = "shape's byte count overflows";
        }
        return false;
    }

    std::vector<mwSize> dims(h.shape.begin(), h.shape.end());
    if (dims.empty()) dims = {1, 1};
    else if (dims.size() == 1) dims.push_back(1);
    out.shape = h.shape;
    try {
        out.array = makeArray(dims, mxSINGLE_CLASS, complex);
    } catch (const HostError& e) {
        error = e.what();
        return false;
    }
    float* re = static_cast<float*>(mxGetData(out.array.get()));
    float* im = complex ? static_cast<float*>(mxGetImagData(out.array.get())) : nullptr;
    const std::uint8_t* payload = data + offset + headerLength;

    // Column-major destination index -> file index. In Fortran order they
    // agree; in C order the strides run the other way.
    const std::size_t nd = h.shape.size();
    std::vector<std::size_t> cStride(nd, 1), index(nd, 0);
    for (std::size_t k = nd; k-- > 1;) cStride[k - 1] = cStride[k] * h.shape[k];
    std::size_t source = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t from = h.fortran ? i : source;
        const std::uint8_t* p = payload + from * itemSize;
        std::memcpy(&re[i], p, 4);
        if (complex) std::memcpy(&im[i], p + 4, 4);
        if (!h.fortran) {
            // advance the column-major counter; first index fastest
            for (std::size_t k = 0; k < nd; ++k) {
                source += cStride[k];
                if (++index[k] < h.shape[k]) break;
                source -= cStride[k] * h.shape[k];
                index[k] = 0;
            }
        }
    }
    return true;
}

bool readNpy(const std::string& path, NpyArray& out, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": cannot open for reading: " + std::strerror(errno);
        return false;
    }
    // A regular file is read whole, its size known up front; a pipe until
    // it ends. Anything else (a directory, a device that never ends) is
    // refused before a byte is read.
    struct stat st {};
    if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))) {
        close(fd);
        error = path + (S_ISDIR(st.st_mode) ? ": is a directory" : ": not a regular file");
        return false;
    }
    std::vector<std::uint8_t> bytes;
    if (S_ISREG(st.st_mode)) bytes.reserve(static_cast<std::size_t>(st.st_size));
    std::uint8_t chunk[1 << 16];
    while (true) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            error = path + ": read error: " + std::strerror(errno);
            close(fd);
            return false;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    close(fd);
    std::string why;
    if (!parseNpy(bytes.data(), bytes.size(), out, why)) {
        error = path + ": " + why;
        return false;
    }
    return true;
}

std::vector<std::uint8_t> encodeNpy(const mxArray* array, const std::vector<std::size_t>& shape) {
    const bool complex = mxIsComplex(array);
    std::string header = std::string("{'descr': '") + (complex ? "<c8" : "<f4") +
                         "', 'fortran_order': True, 'shape': (";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        header += std::to_string(shape[i]);
        if (shape.size() == 1 || i + 1 < shape.size()) header += ",";
        if (i + 1 < shape.size()) header += " ";
    }
    header += "), }";
    // Pad with spaces so that the data starts on a 64-byte boundary.
    const std::size_t unpadded = 10 + header.size() + 1;
    header.append((64 - unpadded % 64) % 64, ' ');
    header += '\n';

    const std::size_t n = mxGetNumberOfElements(array);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(10 + header.size() + n * (complex ? 8 : 4));
    const std::uint8_t prefix[8] = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0};
    bytes.insert(bytes.end(), prefix, prefix + 8);
    bytes.push_back(static_cast<std::uint8_t>(header.size() & 0xff));
    bytes.push_back(static_cast<std::uint8_t>(header.size() >> 8));
    bytes.insert(bytes.end(), header.begin(), header.end());
    const auto* re = static_cast<const std::uint8_t*>(mxGetData(array));
    const auto* im = static_cast<const std::uint8_t*>(mxGetImagData(array));
    for (std::size_t i = 0; i < n; ++i) {
        bytes.insert(bytes.end(), re + 4 * i, re + 4 * i + 4);
        if (complex) bytes.insert(bytes.end(), im + 4 * i, im + 4 * i + 4);
    }
    return bytes;
}

}  // namespace mxhost
