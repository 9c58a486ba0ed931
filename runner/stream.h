// Streaming X into Y in blocks of samples, for the commands that filter
// files: each block is read from X and written to Y in the files' own order,
// and filtered in tiles of samples and channels whose states carry from tile
// to tile, so memory stays bounded whatever the size of the files and the
// result is that of one call on the whole array, bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "npy.h"
#include "runner.h"

namespace runner {

// Host-array bytes of x per block (8 per element, real or complex, in single
// precision; 16 in double); the MARROWICK_BLOCK_BYTES environment variable
// shrinks it for tests. The elements of one block.
std::size_t blockElements(bool doublePrecision = false);

// The samples of X (its first dimension) and its channels (the columns of
// the others), of a file that holds data.
std::size_t samplesOf(const NpyHeader& h);
std::size_t channelsOf(const NpyHeader& h);

// X's data as channels along its time axis: outer slabs of samples x inner
// channels, element (o, m, i) at (o * samples + m) * inner + i. In C order
// the slabs run over the dimensions before the axis and the channels of a
// slab over those after it; in Fortran order the other way round. A file
// channel f = o * inner + i is host column columns(f): the channels counted
// in column-major order of X's dimensions other than the axis, the order of
// the carried states (and of ZI with its axis moved first).
struct Geometry {
    std::size_t outer = 1, samples = 1, inner = 1;
    std::vector<std::size_t> others;  // X's dimensions but the axis
    bool fortran = false;

    std::size_t channels() const { return outer * inner; }
    // The host columns of count file channels from f0 on.
    void columns(std::size_t f0, std::size_t count, std::vector<std::size_t>& out) const;
};
Geometry geometryOf(const NpyHeader& h, std::size_t axis);

// The axis of --axis=N for X (N from -ndim to ndim - 1; negative counts
// from the end), 0 when not given.
std::size_t axisOf(const std::string& text, bool given, const NpyHeader& x, const std::string& xPath);

// A host array of shape lead + S, S of X's rank with its axis of length K,
// as the carried states take it: the axis moved to follow the lead
// dimensions (back: moved from there to its place). The shape moves alike;
// the array keeps its precision.
NpyArray moveStateAxis(const mxArray* v, const std::vector<std::size_t>& shape, std::size_t lead, std::size_t axis,
                       bool back);

// One tile of a block: si samples of gc channels, element (i, k) at item
// i * rowStride + k * colStride of the block images in (X's items converted
// to their precision's type) and out (Y's items; out may be in itself when
// the items are alike). columns holds
// the channels' numbers in the host's column-major order, which index the
// carried states.
struct Tile {
    const std::uint8_t* in;
    std::uint8_t* out;
    std::size_t rowStride, colStride;
    std::size_t si, gc;
    const std::vector<std::size_t>& columns;
};

// What a command does to a tile: filters it and carries its channels'
// states.
class TileFilter {
public:
    virtual ~TileFilter() = default;
    virtual void run(const Tile& tile) = 0;
    // Whether tiles should hold every channel of a block (lanes of channels)
    // rather than long runs of a few.
    virtual bool acrossChannels() const { return false; }
};

// How the blocks walk the files (see Stream): down the rows of a group of
// channels, then the next group.
struct BlockPlan {
    std::size_t rows;      // samples per block
    std::size_t group;     // channels per block
    std::size_t elements;  // of a block at most
};

// X streamed into Y, which is stored in X's order. A block is read from X
// and written to Y in the files' own order: in Fortran order whole channels,
// or a piece of one, with one read and one write; in C order whole rows of
// every channel, with one read and one write, or, when a block would hold
// only a few such rows, a tile of up to 64 rows of a group of channels, with
// one read and one write per row. Within a block the filter gets tiles of
// channels and samples of at most callElements elements (states counted as
// stateRows per channel), so that each call's own copies stay small.
class Stream {
public:
    // Y is complex when outComplex, float64 or complex128 in double precision
    // (X's).
    Stream(NpyReader& x, OutputFile& y, const Geometry& g, bool outComplex, std::size_t stateRows, TileFilter& filter);

    // Chooses the walk for blocks of the given size; dies when a C-order X
    // whose rows are longer than a block meets a pipe.
    BlockPlan plan(std::size_t elements) const;
    // Writes Y's header, then every block; progress when asked to show it.
    void run(const BlockPlan& plan, bool showProgress);

private:
    void block(std::size_t o, std::size_t s0, std::size_t ns, std::size_t c0, std::size_t nc);
    std::size_t xItem() const { return convertedItem(x_.header()); }
    std::size_t yItem() const { return (outComplex_ ? 8 : 4) * (doubles_ ? 2 : 1); }

    NpyReader& x_;
    OutputFile& y_;
    TileFilter& filter_;
    const Geometry& g_;
    // M_ samples of N_ channels in each of slabs_ slabs: in C order (rows of
    // channels) the inner channels of each outer slab, else every channel,
    // each a run of samples.
    std::size_t M_, N_, slabs_, stateRows_;
    bool cOrder_;
    bool outComplex_, doubles_;
    std::size_t callElements_ = 1;  // x and state elements per tile
    std::uint64_t yData_ = 0;       // offset of Y's data
    std::vector<std::uint8_t> in_, out_;
    std::vector<std::size_t> columns_;
};

// Progress on stderr for runs longer than a second: on a terminal a line
// redrawn in place, else (when asked for) a line every few seconds.
// A run of several stages (the passes of a zero-phase filter, over one group
// of channels after another) names the one it is in and counts its own
// bytes; finish() closes with a line at 100 % (with --progress, or when a
// line was drawn).
class Progress {
public:
    Progress(std::uint64_t total, bool always);
    ~Progress();
    // From now on: done counts towards total bytes of the named stage.
    void stage(const std::string& name, std::uint64_t total);
    void update(std::uint64_t done);
    // The closing line: the last stage named, over all bytes, at 100 %.
    void finish(const std::string& name, std::uint64_t total);

private:
    void draw(std::uint64_t done, bool closing);

    std::uint64_t total_;
    std::string stage_;
    bool terminal_, always_, shown_, drawn_ = false;
    double started_, last_ = 0;
};

// The output names of a command, checked: not empty, Y and ZF not one file
// (a device such as /dev/null may take both), no input named as an output;
// the outputs prepared.
void prepareOutputs(OutputFile& y, OutputFile& zf, const std::string& pathY, const std::string& pathZf,
                    const std::vector<std::pair<const char*, std::string>>& inputs);

// A command's file names and its options: --progress (progress on stderr
// also when it is not a terminal), --axis=N (X's time axis); for the zero-phase commands
// --padtype=odd|even|constant|none and --padlen=N (empty when not given);
// "--" ends the options.
struct CommandLine {
    std::vector<std::string> files;
    bool progress = false;
    std::string padtype, padlen;
    bool axisGiven = false;  // --axis=N: the time axis of X
    std::string axis;
};
CommandLine parseCommandLine(int argc, char** argv);

// The word that stands for a ZI of zeros in place of a file name.
constexpr const char* kRest = "rest";

// Reads a small input whole (B, A, SOS, ZI: up to 16 MiB of data) of any
// dtype a file may hold, into a host array of the computing precision:
// rounded once to single, or exact in double; errors name it.
NpyArray readWhole(const char* name, const std::string& path, bool doublePrecision = false);

// b or a: a vector in any shape (a row, a column, flat), never a matrix;
// read whole into the computing precision.
NpyArray readCoefficients(const char* name, const std::string& path, bool doublePrecision = false);

// A single-precision copy of a host array (rounded once), for the module's
// checks of a double-precision call's arguments.
mxhost::ArrayPtr singleCopy(const mxArray* array);

// Second-order sections as the kernels take them: n rows of b0 b1 b2 a0 a1
// a2, float when real and ComplexSingle when complex, or double and
// ComplexDouble in double precision (real ones widened with +0 imaginary
// parts where the kernel wants complex ones: widen); a SOS file not of
// shape (n, 6) is refused.
struct Sections {
    std::size_t n = 0;
    bool complex = false;
    NpyArray array;  // as read, n x 6, of the computing precision
    std::vector<std::uint8_t> values;
    // The values for a kernel whose coefficients are complex or not.
    void prepare(bool wantComplex);
};
Sections readSections(const std::string& path, bool doublePrecision = false);
// A host array's values as the kernels take them, in the array's precision
// (real ones widened where wantComplex): in column-major order, or for
// rows > 0 a matrix of that many rows in row-major order.
std::vector<std::uint8_t> kernelValues(const mxArray* v, bool wantComplex, std::size_t rows = 0);

// Zeros of the given shape (a single- or double-precision host array,
// complex when asked).
NpyArray zeros(const std::vector<std::size_t>& shape, bool complex = false, bool doublePrecision = false);

// Zeros for a ZI given as rest, within the bound of a ZI file.
NpyArray restStates(const std::vector<std::size_t>& shape, bool doublePrecision = false);

// The shape as Python writes it: "(3,)", "(16, 2)".
std::string shapeText(const std::vector<std::size_t>& shape);

// Y and ZF complete: X read to its end, both finished and published.
void publishBoth(NpyReader& x, OutputFile& y, OutputFile& zf, const std::vector<std::uint8_t>& zfImage);

// Y of X's shape with no samples (or no channels) and ZF as given: written
// and published without streaming.
void publishEmpty(NpyReader& x, OutputFile& y, OutputFile& zf, bool outComplex,
                  const std::vector<std::uint8_t>& zfImage);

}  // namespace runner
