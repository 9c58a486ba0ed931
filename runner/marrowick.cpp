// The runner: loads the marrowick module as a host does and calls it on
// arrays stored in .npy files, or on a built-in example. Here: the command
// line and the help texts.
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "runner.h"

using runner::die;

namespace {

const char* const kUsage =
    "usage: marrowick <command> [arguments]\n"
    "\n"
    "  filter [--progress] [--axis=N] B.npy A.npy X.npy ZI.npy Y.npy ZF.npy\n"
    "        [y, zf] = marrowick(b, a, x, zi): filter every column of x with b/a\n"
    "        starting from zi (or from rest: the word rest for ZI); write the\n"
    "        output y and the final states zf\n"
    "  sosfilt [--progress] [--axis=N] SOS.npy X.npy ZI.npy Y.npy ZF.npy\n"
    "        the cascade of second-order sections, with the bits of the Python\n"
    "        package's sosfilt(sos, x, axis=0, zi=zi)\n"
    "  filtfilt [options] B.npy A.npy X.npy Y.npy\n"
    "        zero-phase filtering (forward, then backward), with the bits of the\n"
    "        Python package's filtfilt(b, a, x, axis=0, padtype, padlen)\n"
    "  sosfiltfilt [options] SOS.npy X.npy Y.npy\n"
    "        the same with second-order sections: sosfiltfilt(sos, x, axis=0, ...)\n"
    "        (options: --progress, --axis=N, --padtype=T, --padlen=N)\n"
    "  demo [DIR]\n"
    "        filter a built-in multichannel signal whole and in pieces, check that\n"
    "        both agree bit for bit, report, and write x and y to DIR (default: a\n"
    "        new directory under /tmp)\n"
    "  help [filter|sosfilt|filtfilt|sosfiltfilt|demo]\n"
    "  --version\n"
    "\n"
    "--axis=N filters along axis N of X instead of the first (negative counts\n"
    "from the end): --axis=-1 for a channels x time file. X's dtype decides the\n"
    "precision: float32, complex64 and 8- and 16-bit integers in single, float64,\n"
    "complex128 and 32-bit integers in double (see 'marrowick help filter').\n"
    "\n"
    "The module is loaded from marrowick.so beside this program, or from the\n"
    "path in MARROWICK_MODULE.\n";

// The one dtype rule, for every command that filters.
const char* const kTypesHelp =
    "Precision: X's dtype decides it, as in the Python package.\n"
    "  float32, complex64           single precision, the module's bits\n"
    "  int8, uint8, int16, uint16   single, converted exactly to float32\n"
    "  float64, complex128          double precision, SciPy's float64 bits\n"
    "  int32, uint32                double, converted exactly to float64\n"
    "  anything else                refused [marrowick:unsupportedType]\n"
    "B, A, SOS and ZI may be float32, float64, complex64, complex128 or such\n"
    "integers and are converted to the computing precision (in single precision\n"
    "a float64 design is rounded once, as the package rounds it). Y and ZF are\n"
    "of the computing precision (float32 or float64), complex when any input is.\n"
    "In double precision b and a are divided by a[0] as SciPy divides them, so\n"
    "zi and zf are SciPy's states (in single precision a[0] times them).\n";

// What filter and sosfilt share.
const char* const kFilesHelp =
    "Y.npy has the shape and the order (C or Fortran) of X.npy, ZF.npy the shape\n"
    "of ZI.npy in Fortran order. Feed ZF back as ZI to filter a long signal in\n"
    "pieces.\n"
    "\n"
    "Size: X is read and Y written in blocks, so X and Y may be as large as the\n"
    "disk holds; memory stays under about 200 MiB whatever their size. The other\n"
    "inputs are read whole, up to 16 MiB of data each. --progress shows the\n"
    "progress on stderr also when it is not a terminal (a line every 5 s, and a\n"
    "closing line at 100 %).\n"
    "\n"
    "Outputs: a regular file is replaced (a link is followed; an existing file\n"
    "keeps its mode), both or neither, in a directory the run can read, lock and\n"
    "sync; a device, FIFO, pipe or socket (also through /dev/stdout) is written\n"
    "into. On any error the exit status is non-zero and no file is created or\n"
    "changed.\n";

const char* const kFilterHelp =
    "usage: marrowick filter [--progress] [--axis=N] B.npy A.npy X.npy ZI.npy Y.npy ZF.npy\n"
    "\n"
    "X and ZI are .npy files, C or Fortran order, any number of dimensions; a\n"
    "1-D array is a column. b and a are the numerator and denominator\n"
    "coefficients, vectors (a row, a column or flat). Single precision calls the\n"
    "module; double precision the same filter in SciPy's arithmetic.\n"
    "x is filtered along its first dimension, each column (channel) separately;\n"
    "zi holds L rows of initial states per channel, L = max(len(b), len(a)) - 1,\n"
    "or L = 0 (an empty zi: no state at all, y = b[0] * x / a[0]). The word rest\n"
    "in place of ZI.npy starts from rest: L rows of zeros. --axis=N filters x\n"
    "along axis N (negative counts from the end), every other index a channel,\n"
    "with the bits of the Python package's filter(b, a, x, zi, axis=N); zi then\n"
    "has X's shape with L along axis N.\n"
    "\n";

const char* const kSosfiltHelp =
    "usage: marrowick sosfilt [--progress] [--axis=N] SOS.npy X.npy ZI.npy Y.npy ZF.npy\n"
    "\n"
    "Filters x along its first dimension through n second-order sections, with\n"
    "the bits of the Python package's sosfilt(sos, x, axis=0, zi=zi). SOS has\n"
    "shape (n, 6), rows b0 b1 b2 a0 a1 a2. ZI has shape (n, 2) + X's shape\n"
    "after the first dimension; an empty ZI file, or the word rest in place of\n"
    "ZI.npy, starts from rest. --axis=N filters along axis N instead, as\n"
    "sosfilt(sos, x, axis=N, zi=zi): ZI then has shape (n,) + X's shape with 2\n"
    "along axis N.\n"
    "\n";

const char* const kZeroPhaseHelp =
    "usage: marrowick filtfilt [options] B.npy A.npy X.npy Y.npy\n"
    "       marrowick sosfiltfilt [options] SOS.npy X.npy Y.npy\n"
    "\n"
    "Zero-phase filtering of x along its first dimension, with the bits of the\n"
    "Python package's filtfilt(b, a, x, axis=0, padtype=..., padlen=...) and\n"
    "sosfiltfilt(sos, x, axis=0, ...): x is extended at both ends, filtered\n"
    "forward from the steady states, then backward. B and A are vectors and SOS\n"
    "has shape (n, 6), as for filter and sosfilt; X is in C or Fortran order. Y\n"
    "has X's shape and order.\n"
    "\n"
    "Options:\n"
    "  --padtype=odd|even|constant|none  the extension at each end (default odd;\n"
    "        none: no extension)\n"
    "  --padlen=N  samples of extension at each end (default 3 * max(len(a),\n"
    "        len(b)) for filtfilt; for sosfiltfilt 3 * (2 * n + 1 - the fewer of\n"
    "        the sections with b2 == 0 and with a2 == 0)); X must be longer\n"
    "  --axis=N  filter along axis N of X instead of the first (negative counts\n"
    "        from the end), as the package's axis=N\n"
    "  --progress  progress on stderr also when it is not a terminal, naming the\n"
    "        pass (\"pass 1 of 2\") and counting its own bytes\n"
    "\n"
    "Size: X is read in blocks (its ends first) and must be a file, not a pipe.\n"
    "The forward pass is written to an unnamed temporary beside Y (for a device\n"
    "or pipe Y, in $TMPDIR or /tmp), so that directory needs room for Y's data\n"
    "once more; the backward pass reads it from its end and writes Y. Memory\n"
    "stays under about 200 MiB whatever the size of X (the padding of a group\n"
    "of channels is held whole). Outputs: as for filter; on any error nothing is\n"
    "created or changed and nothing is left behind.\n";

const char* const kDemoHelp =
    "usage: marrowick demo [DIR]\n"
    "\n"
    "Builds a deterministic 8-channel signal (a pass-band tone, a stop-band tone\n"
    "and noise per channel), filters it with a 4th-order low-pass filter whole\n"
    "and again in pieces with zf fed back as zi, checks that both agree bit for\n"
    "bit, prints sizes, kernel, time, throughput and the stop-band attenuation,\n"
    "and writes x.npy and y.npy to DIR.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("marrowick: usage: marrowick <command> [arguments]; see 'marrowick --help'\n", stderr);
        return 2;
    }
    const std::string command = argv[1];
    if (command == "--version") {
        std::printf("marrowick %s\n", MARROWICK_VERSION);
        return runner::finishStdout(0);
    }
    if (command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return runner::finishStdout(0);
    }
    if (command == "help") {
        const std::string topic = argc > 2 ? argv[2] : "";
        if (topic == "filter" || topic == "sosfilt") {
            std::fputs(topic == "filter" ? kFilterHelp : kSosfiltHelp, stdout);
            std::fputs(kTypesHelp, stdout);
            std::fputs("\n", stdout);
            std::fputs(kFilesHelp, stdout);
        } else if (topic == "filtfilt" || topic == "sosfiltfilt") {
            std::fputs(kZeroPhaseHelp, stdout);
            std::fputs("\n", stdout);
            std::fputs(kTypesHelp, stdout);
        } else if (topic == "demo") {
            std::fputs(kDemoHelp, stdout);
        } else {
            std::fputs(kUsage, stdout);
        }
        return runner::finishStdout(0);
    }
    try {
        if (command == "filter") {
            runner::installSignalHandlers();
            return runner::filterFiles(argc, argv);
        }
        if (command == "sosfilt") {
            runner::installSignalHandlers();
            return runner::sosfiltFiles(argc, argv);
        }
        if (command == "filtfilt" || command == "sosfiltfilt") {
            runner::installSignalHandlers();
            return runner::zeroPhaseFiles(argc, argv, command == "sosfiltfilt");
        }
        if (command == "demo") {
            runner::installSignalHandlers();
            return runner::finishStdout(runner::runDemo(argc, argv));
        }
    } catch (const std::bad_alloc&) {
        die("not enough memory for the run's buffers [marrowick:noMemory]");
    } catch (const std::exception& e) {
        die(e.what());
    }
    std::fprintf(stderr, "marrowick: unknown command '%s'; see 'marrowick --help'\n",
                 runner::printable(command).c_str());
    return 2;
}
