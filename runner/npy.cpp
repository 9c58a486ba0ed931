#include "npy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <type_traits>

namespace runner {
namespace {

// NumPy's loader refuses longer headers as unsafe to parse.
constexpr std::size_t kMaxHeader = 10000;
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

bool isIdentifierChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// A parser for the header's Python dict literal,
// {'descr': '<f4', 'fortran_order': False, 'shape': (3, 4), }
// taking what the Python literal syntax NumPy evaluates takes for these keys:
// integers in decimal (no leading zeros), hexadecimal, octal or binary, with
// single underscores between digits and an optional '+'; in format versions
// 1.0 and 2.0 also an 'L' after an integer on the same line, which NumPy
// drops from headers written by Python 2. Each key once.
class HeaderParser {
public:
    HeaderParser(const std::string& text, bool longSuffix) : s_(text), longSuffix_(longSuffix) {}

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
            bool* seen = nullptr;
            if (key == "descr") {
                if (!string(h.descr)) return fail(error, "header 'descr' is not a simple dtype string");
                seen = &h.haveDescr;
            } else if (key == "fortran_order") {
                if (word("True")) {
                    h.fortran = true;
                } else if (word("False")) {
                    h.fortran = false;
                } else {
                    return fail(error, "header 'fortran_order' is not True or False");
                }
                seen = &h.haveOrder;
            } else if (key == "shape") {
                h.shape.clear();
                if (!tuple(h.shape, error)) return false;
                seen = &h.haveShape;
            } else {
                return fail(error, "header has unknown key " + shown(key));
            }
            if (*seen) return fail(error, "header has key " + shown(key) + " twice");
            *seen = true;
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
    // A name that is not the start of a longer one.
    bool word(const char* w) {
        const std::size_t n = std::strlen(w);
        if (s_.compare(pos_, n, w) != 0 || (pos_ + n < s_.size() && isIdentifierChar(s_[pos_ + n]))) return false;
        pos_ += n;
        return true;
    }
    bool string(std::string& out) {
        if (pos_ >= s_.size() || (s_[pos_] != '\'' && s_[pos_] != '"')) return false;
        const char quote = s_[pos_++];
        const std::size_t end = s_.find(quote, pos_);
        if (end == std::string::npos) return false;
        out = s_.substr(pos_, end - pos_);
        if (out.find('\\') != std::string::npos) return false;
        pos_ = end + 1;
        return true;
    }
    // One non-negative integer literal. Returns false with error set.
    bool integer(std::size_t& value, std::string& error) {
        const std::string bad = "header 'shape' holds something other than non-negative integers";
        if (eat('+')) skip();
        if (pos_ >= s_.size() || !std::isdigit(static_cast<unsigned char>(s_[pos_]))) return fail(error, bad);
        unsigned base = 10;
        if (s_[pos_] == '0' && pos_ + 1 < s_.size()) {
            const char p = static_cast<char>(std::tolower(static_cast<unsigned char>(s_[pos_ + 1])));
            if (p == 'x' || p == 'o' || p == 'b') {
                base = p == 'x' ? 16 : p == 'o' ? 8 : 2;
                pos_ += 2;
                eat('_');  // 0x_ff is allowed
            }
        }
        const std::size_t first = pos_;
        bool leadingZero = false, allZero = true;
        value = 0;
        while (pos_ < s_.size()) {
            const char c = s_[pos_];
            if (c == '_' && pos_ > first && pos_ + 1 < s_.size() && s_[pos_ - 1] != '_' &&
                std::isxdigit(static_cast<unsigned char>(s_[pos_ + 1]))) {
                ++pos_;
                continue;
            }
            unsigned digit = 16;
            if (std::isdigit(static_cast<unsigned char>(c))) digit = static_cast<unsigned>(c - '0');
            else if (std::isxdigit(static_cast<unsigned char>(c)))
                digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
            if (digit >= base) break;
            if (pos_ == first && base == 10 && digit == 0) leadingZero = true;
            if (digit != 0) allZero = false;
            if (value > (std::numeric_limits<std::size_t>::max() - digit) / base) {
                return fail(error, "header 'shape' has a dimension too large");
            }
            value = value * base + digit;
            ++pos_;
        }
        if (pos_ == first || s_[pos_ - 1] == '_') return fail(error, "header 'shape' has a malformed integer");
        if (leadingZero && !allZero) return fail(error, "header 'shape' has an integer with a leading zero");
        if (pos_ < s_.size() && isIdentifierChar(s_[pos_]) && !(longSuffix_ && s_[pos_] == 'L')) {
            return fail(error, "header 'shape' has a malformed integer");
        }
        // The 'L' belongs to the integer only on its line: spaces or tabs
        // may come between them, a line break may not.
        if (longSuffix_) {
            const std::size_t save = pos_;
            while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t')) ++pos_;
            if (!word("L")) pos_ = save;
        }
        return true;
    }
    bool tuple(std::vector<std::size_t>& shape, std::string& error) {
        if (!eat('(')) return fail(error, "header 'shape' is not a tuple");
        skip();
        if (eat(')')) return true;
        while (true) {
            skip();
            if (s_.compare(pos_, 1, "-") == 0) {
                return fail(error, "header 'shape' holds something other than non-negative integers");
            }
            std::size_t value = 0;
            if (!integer(value, error)) return false;
            if (shape.size() >= static_cast<std::size_t>(kMaxDims)) {
                return fail(error, "header 'shape' has more than 32 dimensions");
            }
            shape.push_back(value);
            skip();
            if (eat(',')) {
                skip();
                if (eat(')')) return true;
                continue;
            }
            skip();
            // (3) is a parenthesised integer, not a tuple.
            if (eat(')')) {
                if (shape.size() == 1) return fail(error, "header 'shape' is not a tuple: '(n)' needs a comma");
                return true;
            }
            return fail(error, "header 'shape' tuple is malformed");
        }
    }

    const std::string& s_;
    bool longSuffix_;
    std::size_t pos_ = 0;
};

std::uint32_t readLE(const std::uint8_t* p, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// The magic and version: how many bytes precede the header text and how long
// that is. Needs at most 12 bytes.
bool parsePrefix(const std::uint8_t* data, std::size_t size, int& major, std::size_t& offset, std::size_t& headerLength,
                 std::string& error) {
    static const std::uint8_t magic[6] = {0x93, 'N', 'U', 'M', 'P', 'Y'};
    if (size < 10 || std::memcmp(data, magic, 6) != 0) {
        error = "not a .npy file (bad magic)";
        return false;
    }
    major = data[6];
    const int minor = data[7];
    if ((major < 1 || major > 3) || minor != 0) {
        error = "unsupported .npy format version " + std::to_string(major) +
                (minor != 0 ? "." + std::to_string(minor) : std::string()) + " (1.0, 2.0 and 3.0 are)";
        return false;
    }
    if (major == 1) {
        headerLength = readLE(data + 8, 2);
        offset = 10;
    } else {
        if (size < 12) {
            error = "truncated .npy header";
            return false;
        }
        headerLength = readLE(data + 8, 4);
        offset = 12;
    }
    if (headerLength > kMaxHeader) {
        error = "header length " + std::to_string(headerLength) + " is implausibly large (over " +
                std::to_string(kMaxHeader) + " bytes)";
        return false;
    }
    return true;
}

std::string lengthMismatch(std::uint64_t have, const NpyHeader& h, bool atLeast = false) {
    return "data holds " + std::string(atLeast ? "more than " : "") + std::to_string(have) +
           " bytes, the shape needs " + std::to_string(h.dataBytes);
}

}  // namespace

std::vector<std::size_t> shapeOf(const mxArray* array) {
    const mwSize* d = mxGetDimensions(array);
    return std::vector<std::size_t>(d, d + mxGetNumberOfDimensions(array));
}

namespace {

// The dtypes of the one dtype rule, as NumPy spells them in a header.
struct TypeEntry {
    const char* descr;
    NpyType type;
    std::size_t itemSize;
};
constexpr TypeEntry kTypes[] = {
    {"<f4", NpyType::F4, 4}, {"<c8", NpyType::C8, 8}, {"<f8", NpyType::F8, 8}, {"<c16", NpyType::C16, 16},
    {"|i1", NpyType::I1, 1}, {"|u1", NpyType::U1, 1}, {"<i2", NpyType::I2, 2}, {"<u2", NpyType::U2, 2},
    {"<i4", NpyType::I4, 4}, {"<u4", NpyType::U4, 4},
};
// Short enough that the refusal stays one line of at most 200 characters
// whatever dtype the file claims.
constexpr const char* kTypesText = "taken: <f4, <f8, <c8, <c16, <i1..<i4, <u1..<u4";

}  // namespace

bool parseNpyHeader(const std::uint8_t* data, std::size_t size, NpyHeader& out, std::string& error) {
    int major = 0;
    std::size_t offset = 0, headerLength = 0;
    if (!parsePrefix(data, size, major, offset, headerLength, error)) return false;
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
    if (!HeaderParser(text, major < 3).parse(h, error)) return false;

    const TypeEntry* entry = nullptr;
    for (const TypeEntry& t : kTypes)
        if (h.descr == t.descr) entry = &t;
    if (entry == nullptr) {
        std::string little = h.descr;
        if (!little.empty() && little[0] == '>') little[0] = '<';
        bool bigEndian = false;
        for (const TypeEntry& t : kTypes) bigEndian = bigEndian || (h.descr != little && little == t.descr);
        error = "dtype " + shown(h.descr) + (bigEndian ? " is big-endian" : " is not taken") +
                " [marrowick:unsupportedType]; " + kTypesText;
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
    const std::size_t itemSize = entry->itemSize;
    if (count > std::numeric_limits<std::size_t>::max() / itemSize) {
        error = "shape's byte count overflows";
        return false;
    }
    out.shape = h.shape;
    out.fortran = h.fortran;
    out.type = entry->type;
    out.complex = entry->type == NpyType::C8 || entry->type == NpyType::C16;
    out.doubles = entry->type == NpyType::F8 || entry->type == NpyType::C16;
    out.integer = !out.complex && !out.doubles && entry->type != NpyType::F4;
    out.itemSize = itemSize;
    out.count = count;
    out.dataOffset = offset + headerLength;
    out.dataBytes = static_cast<std::uint64_t>(count) * itemSize;
    return true;
}

namespace {

// Element e of a file's data as double values (exact for every dtype taken).
template <class T>
double integerAt(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<double>(v);
}
void valueAt(const NpyHeader& h, const std::uint8_t* p, double& re, double& im) {
    im = 0;
    switch (h.type) {
        case NpyType::F4:
        case NpyType::C8: {
            float v[2] = {0, 0};
            std::memcpy(v, p, h.itemSize);
            re = v[0];
            im = v[1];
            return;
        }
        case NpyType::F8:
        case NpyType::C16: {
            double v[2] = {0, 0};
            std::memcpy(v, p, h.itemSize);
            re = v[0];
            im = v[1];
            return;
        }
        case NpyType::I1: re = integerAt<std::int8_t>(p); return;
        case NpyType::U1: re = integerAt<std::uint8_t>(p); return;
        case NpyType::I2: re = integerAt<std::int16_t>(p); return;
        case NpyType::U2: re = integerAt<std::uint16_t>(p); return;
        case NpyType::I4: re = integerAt<std::int32_t>(p); return;
        case NpyType::U4: re = integerAt<std::uint32_t>(p); return;
    }
}

template <class T>
void decodeInto(const NpyHeader& h, const std::uint8_t* payload, T* re, T* im) {
    // Column-major destination index -> file index. In Fortran order they
    // agree; in C order the strides run the other way.
    const std::size_t nd = h.shape.size();
    std::vector<std::size_t> cStride(nd, 1), index(nd, 0);
    for (std::size_t k = nd; k-- > 1;) cStride[k - 1] = cStride[k] * h.shape[k];
    std::size_t source = 0;
    for (std::size_t i = 0; i < h.count; ++i) {
        const std::size_t from = h.fortran ? i : source;
        const std::uint8_t* p = payload + from * h.itemSize;
        if (std::is_same<T, float>::value && !h.doubles && !h.integer) {
            std::memcpy(&re[i], p, 4);
            if (h.complex) std::memcpy(&im[i], p + 4, 4);
        } else {
            // Exact as doubles; rounded once to single precision, as
            // NumPy's cast rounds.
            double r = 0, j = 0;
            valueAt(h, p, r, j);
            re[i] = static_cast<T>(r);
            if (h.complex) im[i] = static_cast<T>(j);
        }
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
}

template <class From, class To>
void widen(const void* from, std::size_t count, void* to) {
    // From the last element, so that a buffer can be widened in place.
    const auto* f = static_cast<const std::uint8_t*>(from);
    auto* t = static_cast<std::uint8_t*>(to);
    for (std::size_t e = count; e-- > 0;) {
        From v;
        std::memcpy(&v, f + e * sizeof(From), sizeof v);
        const To w = static_cast<To>(v);
        std::memcpy(t + e * sizeof(To), &w, sizeof w);
    }
}

}  // namespace

void convertItems(const NpyHeader& h, const void* from, std::size_t count, void* to) {
    switch (h.type) {
        case NpyType::I1: widen<std::int8_t, float>(from, count, to); return;
        case NpyType::U1: widen<std::uint8_t, float>(from, count, to); return;
        case NpyType::I2: widen<std::int16_t, float>(from, count, to); return;
        case NpyType::U2: widen<std::uint16_t, float>(from, count, to); return;
        case NpyType::I4: widen<std::int32_t, double>(from, count, to); return;
        case NpyType::U4: widen<std::uint32_t, double>(from, count, to); return;
        default:
            if (from != to) std::memmove(to, from, count * h.itemSize);
            return;
    }
}

void decodeNpyData(const NpyHeader& h, const std::uint8_t* payload, float* re, float* im) {
    decodeInto(h, payload, re, im);
}
void decodeNpyData(const NpyHeader& h, const std::uint8_t* payload, double* re, double* im) {
    decodeInto(h, payload, re, im);
}

namespace {

bool makeHostArray(const NpyHeader& h, NpyArray& out, std::string& error, bool doublePrecision = false) {
    std::vector<mwSize> dims(h.shape.begin(), h.shape.end());
    if (dims.empty()) dims = {1, 1};
    else if (dims.size() == 1) dims.push_back(1);
    out.shape = h.shape;
    try {
        out.array = mxhost::makeArray(dims, doublePrecision ? mxDOUBLE_CLASS : mxSINGLE_CLASS, h.complex);
    } catch (const mxhost::HostError& e) {
        error = e.what();
        return false;
    }
    return true;
}

}  // namespace

bool parseNpy(const std::uint8_t* data, std::size_t size, NpyArray& out, std::string& error) {
    NpyHeader h;
    if (!parseNpyHeader(data, size, h, error)) return false;
    const std::uint64_t available = size - h.dataOffset;
    if (available != h.dataBytes) {
        error = lengthMismatch(available, h);
        return false;
    }
    if (!makeHostArray(h, out, error)) return false;
    decodeNpyData(h, data + h.dataOffset, static_cast<float*>(mxGetData(out.array.get())),
                  static_cast<float*>(mxGetImagData(out.array.get())));
    return true;
}

NpyReader::~NpyReader() {
    if (fd_ >= 0) close(fd_);
}

bool NpyReader::readFully(void* into, std::size_t bytes, std::size_t& got, std::string& error) {
    got = 0;
    auto* p = static_cast<std::uint8_t*>(into);
    while (got < bytes) {
        const ssize_t n = read(fd_, p + got, bytes - got);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            error = path_ + ": read error: " + std::strerror(errno);
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool NpyReader::open(const std::string& path, std::string& error) {
    path_ = path;
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        error = path + ": cannot open for reading: " + std::strerror(errno);
        return false;
    }
    // A regular file has a size to check against the header; a pipe is read
    // front to back. Anything else (a directory, a device that never ends)
    // is refused before a byte is read.
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))) {
        error = path + (S_ISDIR(st.st_mode) ? ": is a directory" : ": not a regular file");
        return false;
    }
    seekable_ = S_ISREG(st.st_mode);

    // The prefix, then exactly the header it announces: nothing of the data
    // is read here, and nothing is allocated beyond the header's bound.
    std::vector<std::uint8_t> head(12);
    std::size_t got = 0, more = 0;
    if (!readFully(head.data(), 10, got, error)) return false;
    if (got == 10 && head[6] >= 2 && !readFully(head.data() + 10, 2, more, error)) return false;
    got += more;
    int major = 0;
    std::size_t offset = 0, headerLength = 0;
    std::string why;
    if (!parsePrefix(head.data(), got, major, offset, headerLength, why)) {
        error = path + ": " + why;
        return false;
    }
    head.resize(offset + headerLength);
    if (!readFully(head.data() + offset, headerLength, more, error)) return false;
    if (!parseNpyHeader(head.data(), offset + more, header_, why)) {
        error = path + ": " + why;
        return false;
    }
    if (seekable_) {
        const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
        const std::uint64_t available = size >= header_.dataOffset ? size - header_.dataOffset : 0;
        if (available != header_.dataBytes) {
            error = path + ": " + lengthMismatch(available, header_);
            return false;
        }
    }
    return true;
}

bool NpyReader::readData(std::uint64_t at, void* into, std::size_t bytes, std::string& error) {
    auto* p = static_cast<std::uint8_t*>(into);
    std::size_t got = 0;
    if (seekable_) {
        while (got < bytes) {
            const ssize_t n = pread(fd_, p + got, bytes - got, static_cast<off_t>(header_.dataOffset + at + got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = path_ + ": read error: " + std::strerror(errno);
                return false;
            }
            if (n == 0) {
                error = path_ + ": the file became shorter while it was read";
                return false;
            }
            got += static_cast<std::size_t>(n);
        }
        return true;
    }
    if (at != position_) {
        error = path_ + ": a pipe cannot be read in this order";
        return false;
    }
    if (!readFully(p, bytes, got, error)) return false;
    position_ += got;
    if (got < bytes) {
        error = path_ + ": " + lengthMismatch(position_, header_);
        return false;
    }
    return true;
}

bool NpyReader::finishData(std::string& error) {
    if (seekable_) return true;
    std::uint8_t extra = 0;
    std::size_t got = 0;
    if (!readFully(&extra, 1, got, error)) return false;
    if (got != 0) {
        error = path_ + ": " + lengthMismatch(position_, header_, true);
        return false;
    }
    return true;
}

bool readNpy(const std::string& path, NpyArray& out, std::string& error, std::uint64_t maxDataBytes,
             bool doublePrecision) {
    NpyReader reader;
    if (!reader.open(path, error)) return false;
    const NpyHeader& h = reader.header();
    if (h.dataBytes > maxDataBytes) {
        error = path + ": holds " + std::to_string(h.dataBytes) + " bytes of data, more than the " +
                std::to_string(maxDataBytes) + " this file may have";
        return false;
    }
    std::vector<std::uint8_t> data;
    NpyArray array;
    std::string why;
    try {
        data.resize(static_cast<std::size_t>(h.dataBytes));
    } catch (const std::bad_alloc&) {
        error = path + ": out of memory for " + std::to_string(h.dataBytes) + " bytes of data";
        return false;
    }
    if (!reader.readData(0, data.data(), data.size(), error) || !reader.finishData(error)) return false;
    if (!makeHostArray(h, array, why, doublePrecision)) {
        error = path + ": " + why;
        return false;
    }
    if (doublePrecision)
        decodeNpyData(h, data.data(), static_cast<double*>(mxGetData(array.array.get())),
                      static_cast<double*>(mxGetImagData(array.array.get())));
    else
        decodeNpyData(h, data.data(), static_cast<float*>(mxGetData(array.array.get())),
                      static_cast<float*>(mxGetImagData(array.array.get())));
    out = std::move(array);
    return true;
}

std::vector<std::uint8_t> encodeNpyHeader(bool complex, const std::vector<std::size_t>& shape, bool fortran,
                                          bool doubles) {
    const char* descr = doubles ? (complex ? "<c16" : "<f8") : (complex ? "<c8" : "<f4");
    std::string header =
        std::string("{'descr': '") + descr + "', 'fortran_order': " + (fortran ? "True" : "False") + ", 'shape': (";
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
    std::vector<std::uint8_t> bytes = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0};
    bytes.push_back(static_cast<std::uint8_t>(header.size() & 0xff));
    bytes.push_back(static_cast<std::uint8_t>(header.size() >> 8));
    bytes.insert(bytes.end(), header.begin(), header.end());
    return bytes;
}

std::vector<std::uint8_t> encodeNpy(const mxArray* array, const std::vector<std::size_t>& shape) {
    const bool complex = mxIsComplex(array);
    const bool doubles = mxGetClassID(array) == mxDOUBLE_CLASS;
    const std::size_t n = mxGetNumberOfElements(array), part = doubles ? 8 : 4;
    std::vector<std::uint8_t> bytes = encodeNpyHeader(complex, shape, true, doubles);
    bytes.reserve(bytes.size() + n * (complex ? 2 : 1) * part);
    const auto* re = static_cast<const std::uint8_t*>(mxGetData(array));
    const auto* im = static_cast<const std::uint8_t*>(mxGetImagData(array));
    for (std::size_t i = 0; i < n; ++i) {
        bytes.insert(bytes.end(), re + part * i, re + part * (i + 1));
        if (complex) bytes.insert(bytes.end(), im + part * i, im + part * (i + 1));
    }
    return bytes;
}

}  // namespace runner
