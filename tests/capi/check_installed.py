"""The C library as a user gets it: installed into a scratch prefix (or
unpacked from its Debian packages), a C program built against the installed
files only through pkg-config and the same program built as C++ through
find_package, and their results compared with the Python package's bit for
bit, call by call; the header compiled alone as C and as C++; the exported
symbols against the documented list.

    check_installed.py BUILD_DIR SOURCE_DIR [--debian]
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np
from scipy import signal

import marrowick

BUILD, SOURCE = (os.path.abspath(p) for p in sys.argv[1:3])
DEBIAN = "--debian" in sys.argv[3:]
HERE = os.path.join(SOURCE, "tests", "capi")
KINDS = {"RR": 1, "RRZ": 2, "RC": 3, "CR": 4, "CC": 5, "DRR": 6, "DCC": 7, "DCR": 8}
PADTYPES = {"odd": 0, "even": 1, "constant": 2, None: 3}
WARNINGS = ["-Wall", "-Wextra", "-pedantic", "-Werror"]


def run(cmd, **kw):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)
    if r.returncode != 0:
        sys.exit("FAILED: %s\n%s" % (" ".join(cmd), r.stdout))
    return r.stdout


# ----------------------------------------------------------------------------
# The installed files

def stage(tmp):
    """The root the library's files are in, and its pkg-config directory."""
    if not DEBIAN:
        prefix = os.path.join(tmp, "stage")
        run(["cmake", "--install", BUILD, "--prefix", prefix])
    else:
        run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", os.path.join(tmp, "pkg")])
        debs = sorted(f for f in os.listdir(os.path.join(tmp, "pkg")) if f.startswith("libmarrowick"))
        assert len(debs) == 2 and any(d.startswith("libmarrowick-dev_") for d in debs), debs
        root = os.path.join(tmp, "root")
        for d in debs:
            run(["dpkg-deb", "-x", os.path.join(tmp, "pkg", d), root])
        dev = [d for d in debs if d.startswith("libmarrowick-dev_")][0]
        runtime = [d for d in debs if d != dev][0]
        depends = run(["dpkg-deb", "-f", os.path.join(tmp, "pkg", dev), "Depends"]).strip()
        assert depends == "%s (= %s)" % (runtime.split("_")[0], marrowick.__version__), depends
        files = run(["dpkg-deb", "-c", os.path.join(tmp, "pkg", runtime)])
        assert "libmarrowick.so." in files and ".h" not in files and ".pc" not in files, files
        prefix = os.path.join(root, "usr")
    pcs = [d for d, _, f in os.walk(prefix) if "marrowick.pc" in f]
    assert len(pcs) == 1, pcs
    return prefix, pcs[0]


def pkgconfig(pcdir, *args):
    env = dict(os.environ, PKG_CONFIG_PATH=pcdir)
    return run(["pkg-config"] + list(args) + ["marrowick"], env=env).split()


def build(tmp, prefix, pcdir):
    """The consumer through pkg-config (C99) and through find_package (C++)."""
    consumer = os.path.join(HERE, "consumer.c")
    assert pkgconfig(pcdir, "--modversion") == [marrowick.__version__]
    libs = pkgconfig(pcdir, "--libs")
    libdir = [f[2:] for f in libs if f.startswith("-L")][0]
    c_program = os.path.join(tmp, "consumer_c")
    run(["cc", "-std=c99"] + WARNINGS + [consumer, "-o", c_program] + pkgconfig(pcdir, "--cflags") + libs
        + ["-Wl,-rpath," + libdir])
    for source, language in (("#include <marrowick.h>\n", "c"), ("#include <complex.h>\n#include <marrowick.h>\n", "c"),
                             ("#include <marrowick.h>\n", "c++")):
        std = "-std=c99" if language == "c" else "-std=c++17"
        compiler = "cc" if language == "c" else "c++"
        run([compiler, std] + WARNINGS + ["-Wstrict-prototypes" if language == "c" else "-Wold-style-cast",
            "-fsyntax-only", "-x", language, "-"] + pkgconfig(pcdir, "--cflags"), input=source)
    cxx_build = os.path.join(tmp, "cxx")
    run(["cmake", "-S", os.path.join(HERE, "cmake-consumer"), "-B", cxx_build, "-DCMAKE_PREFIX_PATH=" + prefix,
         "-DCONSUMER_SOURCE=" + consumer])
    run(["cmake", "--build", cxx_build])
    # The examples, as a user builds them.
    example = os.path.join(tmp, "lowpass")
    run(["cc", "-std=c99"] + WARNINGS + [os.path.join(SOURCE, "examples", "c", "lowpass.c"), "-o", example]
        + pkgconfig(pcdir, "--cflags") + libs + ["-Wl,-rpath," + libdir])
    out = run([example])
    assert "libmarrowick %s" % marrowick.__version__ in out and "double:" in out, out
    run(["cmake", "-S", os.path.join(SOURCE, "examples", "cxx"), "-B", os.path.join(tmp, "example-cxx"),
         "-DCMAKE_PREFIX_PATH=" + prefix, "-DCMAKE_CXX_FLAGS=" + " ".join(WARNINGS)])
    run(["cmake", "--build", os.path.join(tmp, "example-cxx")])
    out = run([os.path.join(tmp, "example-cxx", "zero_phase")])
    assert "stream:" in out and "double zero-phase:" in out, out
    # A version the installed package does not offer is not found.
    r = subprocess.run(["cmake", "-DCMAKE_PREFIX_PATH=" + prefix, "-DWANT=99.0", "-P",
                        os.path.join(HERE, "cmake-consumer", "find_version.cmake")],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert "found" not in r.stdout.split(), r.stdout
    return [c_program, os.path.join(cxx_build, "consumer_cxx")], libdir


def documented_symbols():
    text = open(os.path.join(SOURCE, "docs", "c-api.md")).read()
    block = text.split("<!-- exported symbols -->")[1].split("```")[1]
    return sorted(block.split())


def check_order_quoted():
    """docs/c-api.md quotes the library's table of check order word for word."""
    code = open(os.path.join(SOURCE, "capi", "marrowick.cpp")).read()
    table = code.split("// check order\n")[1].split("// end of check order")[0]
    lines = [line[5:] if line.startswith("//   ") else line[2:].strip() for line in table.splitlines()]
    text = open(os.path.join(SOURCE, "docs", "c-api.md")).read()
    block = text.split("<!-- check order -->")[1].split("```")[1].strip("\n")
    assert block.splitlines() == lines, (block.splitlines(), lines)


def check_symbols(libdir):
    lib = os.path.join(libdir, "libmarrowick.so")
    out = run(["nm", "-D", "--defined-only", lib])
    names = sorted(line.split()[-1] for line in out.splitlines() if line.split()[1] in "TtDdBbRrWwVv")
    # The filters are exported privately, for the Python extension of the
    # same release only.
    private = "@@MARROWICK_PRIVATE_" + marrowick.__version__
    assert all(re.match(r"_ZN[KVR]*9marrowick7filters", n) for n in names if n.endswith(private)), names
    names = [n for n in names if not n.endswith(private)]
    assert all(n.endswith("@@MARROWICK_0") for n in names), names
    assert [n.split("@")[0] for n in names] == documented_symbols(), names
    soname = re.search(r"SONAME.*\[(.*)\]", run(["readelf", "-d", lib])).group(1)
    assert soname == "libmarrowick.so.%s" % marrowick.__version__.split(".")[0], soname


# ----------------------------------------------------------------------------
# The calls, and the Python package's results for them

rng = np.random.default_rng(26)


def dtype_of(complex_, double):
    if double:
        return np.dtype(np.complex128 if complex_ else np.float64)
    return np.dtype(np.complex64 if complex_ else np.float32)


def words(v, complex_, double=False):
    """The 32-bit words of v's elements in memory order (two to a double)."""
    return np.ascontiguousarray(v, dtype_of(complex_, double)).reshape(-1).view(np.uint32)


def values(v, complex_, double):
    """v's elements as real floats (complex ones as (re, im) pairs), as the bits are compared."""
    return np.ascontiguousarray(v, dtype_of(complex_, double)).reshape(-1).view(np.float64 if double else np.float32)


def fmt(w):
    return " ".join("%x" % int(u) for u in w)


def design(sections, complex_, double):
    """In double precision the design as given (float64 or complex128), else rounded to single."""
    dtype = dtype_of(complex_, double)
    if sections:
        scale = np.array([[1.0] * 3 + [2.0] * 3] + [[1.0] * 6] * 3)  # a0 = 2 in the first section
        c = signal.butter(4, [0.1, 0.35], "bandpass", output="sos") * scale
        if complex_:
            c = c * np.tile(np.exp(0.4j * np.arange(3)), 2)
        return c.astype(dtype)
    b, a = signal.butter(3, 0.3)
    b, a = 2.5 * b, 2.5 * a
    if complex_:
        b, a = (v * np.exp(0.4j * np.arange(v.size)) for v in (b, a))
    return tuple(v.astype(dtype) for v in (b, a))


def signal_of(M, N, complex_, double, order):
    x = rng.standard_normal((M, N)) + (1j * rng.standard_normal((M, N)) if complex_ else 0)
    return np.asarray(x.astype(dtype_of(complex_, double)), order=order)


def layout(order, M, N):
    return (N, 1) if order == "C" else (1, M)


def buffer(v):
    """The elements of a 2-D array in its memory order."""
    return v.reshape(-1, order="C" if v.flags.c_contiguous else "F")


class Case:
    """One call. In double precision the kernel's coefficients are complex whenever anything is; a real
    design (real=True) is then handed to the library widened with +0 imaginary parts, and to the package
    as it is."""

    def __init__(self, op, kind, **kw):
        self.op, self.kind, self.kw = op, kind, kw
        ccoef, cx = kind in ("CR", "CC", "DCC", "DCR"), kind in ("RC", "CC", "DCC")
        self.double = kind.startswith("D")
        sections = "sos" in op
        self.coef = design(sections, ccoef and not kw.get("real", False), self.double)
        M, N = kw.get("M", 40), kw.get("N", 3)
        self.x = signal_of(M, N, cx, self.double, kw.get("order", "C"))
        self.sections, self.ccoef, self.cx = sections, ccoef, cx
        self.cout = kind not in ("RR", "DRR")

    def text(self):
        k, kw = self.kind, self.kw
        head = [self.op, KINDS[k]]
        coef, d = self.coef, self.double
        if self.sections:
            head.append(coef.shape[0])
            cw = fmt(words(coef, self.ccoef, d))
        else:
            head += [coef[0].size, coef[1].size]
            cw = fmt(words(coef[0], self.ccoef, d)) + " " + fmt(words(coef[1], self.ccoef, d))
        if self.op.endswith("_zi"):
            return " ".join(map(str, head)) + " " + cw
        M, N = self.x.shape
        order = kw.get("order", "C")
        yorder = kw.get("yorder", order)
        head += [M, N, *layout(order, M, N), *layout(yorder, M, N), M * N, M * N]
        if "filtfilt" in self.op:
            head += [PADTYPES[kw.get("padtype", "odd")], -1 if kw.get("padlen") is None else kw["padlen"],
                     kw.get("workers", 1)]
            return " ".join(map(str, head)) + " " + cw + " " + fmt(words(buffer(self.x), self.cx, d))
        self.zi = self.initial_state()
        head += [int(self.zi is not None), kw.get("workers", 1), kw.get("pieces", 1), int(kw.get("inplace", False))]
        text = " ".join(map(str, head)) + " " + cw + " " + fmt(words(buffer(self.x), self.cx, d))
        if self.zi is not None:
            text += " " + fmt(words(self.zi_dense(), self.cout, d))
        return text

    def state_length(self):
        return 2 * self.coef.shape[0] if self.sections else max(self.coef[0].size, self.coef[1].size) - 1

    def initial_state(self):
        if not self.kw.get("zi", True) and self.kind != "RRZ":
            return None
        N = self.x.shape[1]
        shape = (self.coef.shape[0], 2, N) if self.sections else (self.state_length(), N)
        z = rng.standard_normal(shape) + (1j * rng.standard_normal(shape) if self.cout else 0)
        return z.astype(dtype_of(self.cout, self.double))

    def zi_dense(self):
        # Channel j's states at j * L; sections (s * N + j) * 2.
        return np.swapaxes(self.zi, -1, -2).reshape(-1) if self.sections else self.zi.T.reshape(-1)

    def expected(self):
        """The outputs the consumer prints, from the Python package: its float64 path for the double kinds
        (and there, for b/a, SciPy's own bits too)."""
        kw, d = self.kw, self.double
        if self.op.endswith("_zi"):
            dtype = np.float64 if d else np.float32
            z = marrowick.sosfilt_zi(self.coef, dtype=dtype) if self.sections else \
                marrowick.lfilter_zi(*self.coef, dtype=dtype)
            return [values(z, self.ccoef, True)]
        yorder = kw.get("yorder", kw.get("order", "C"))
        if "filtfilt" in self.op:
            # The design as the library takes it (a real one widened for DCC).
            coef = self.coef.astype(np.complex128) if self.sections else tuple(v.astype(np.complex128)
                                                                               for v in self.coef)
            coef = coef if self.ccoef and d else self.coef
            args = dict(axis=0, padtype=kw.get("padtype", "odd"), padlen=kw.get("padlen"))
            y = marrowick.sosfiltfilt(coef, self.x, **args) if self.sections else \
                marrowick.filtfilt(*coef, self.x, **args)
            return [values(buffer(np.asarray(y, order=yorder)), self.cout, d)]
        zi = self.zi
        if self.sections:
            if zi is None:
                zi = np.zeros((self.coef.shape[0], 2, self.x.shape[1]), dtype_of(self.cout, d))
            y, zf = marrowick.sosfilt(self.coef, self.x, axis=0, zi=zi)
            zf_dense = np.swapaxes(zf, -1, -2).reshape(-1)
        elif d:
            if zi is None:
                zi = np.zeros((self.state_length(), self.x.shape[1]), dtype_of(self.cout, d))
            y, zf = marrowick.lfilter(*self.coef, self.x, axis=0, zi=zi)
            want = signal.lfilter(*self.coef, self.x, axis=0, zi=zi)
            assert all(same_bits(values(p, self.cout, d), values(q, self.cout, d)) for p, q in zip((y, zf), want)), \
                (self.op, self.kind, self.kw)
            zf_dense = zf.T.reshape(-1)
        else:
            y, zf = marrowick.filter(*self.coef, self.x, zi, axis=0)
            zf_dense = zf.T.reshape(-1)
        return [values(buffer(np.asarray(y, order=yorder)), self.cout, d), values(zf_dense, self.cout, d)]


def same_bits(got, want):
    """Bit for bit, any NaN equal to any NaN."""
    if got.shape != want.shape:
        return False
    bits = np.uint64 if want.dtype == np.float64 else np.uint32
    return bool(((got.view(bits) == want.view(bits)) | (np.isnan(got) & np.isnan(want))).all())


def cases():
    rows = []
    for op in ("lfilter", "sosfilt", "stream", "streamsos"):
        for kind in KINDS:
            for order in ("C", "F"):
                rows.append(Case(op, kind, order=order, pieces=3 if op.startswith("stream") else 1))
    rows += [
        Case("lfilter", "RR", order="C", yorder="F", pieces=3, zi=False),
        Case("lfilter", "CC", order="F", pieces=4, workers=2, N=37, M=50),
        Case("lfilter", "RR", order="C", inplace=True, pieces=2),
        Case("lfilter", "RC", order="F", inplace=True),
        Case("sosfilt", "CC", order="C", inplace=True, pieces=2),
        Case("sosfilt", "RR", order="F", pieces=5, workers=2, N=40, M=30),
        Case("sosfilt", "CR", order="C", yorder="F", zi=False),
        Case("lfilter", "RR", order="C", M=1, N=1, pieces=1),
        Case("streamsos", "RRZ", order="F", pieces=7, M=20),
    ]
    for op in ("filtfilt", "sosfiltfilt"):
        for kind in ("RR", "RC", "CR", "CC"):
            for order in ("C", "F"):
                rows.append(Case(op, kind, order=order))
        rows += [
            Case(op, "RR", order="C", padtype="even", padlen=5),
            Case(op, "CC", order="F", padtype="constant", workers=2, N=20),
            Case(op, "CR", order="F", yorder="C", padtype=None),
            Case(op, "RC", order="C", padtype="odd", padlen=0),
            Case(op, "RR", order="F", padtype="odd", padlen=39),
        ]
    for kind in ("RR", "CC", "DRR", "DCC"):
        rows += [Case("lfilter_zi", kind), Case("sosfilt_zi", kind)]
    # The double kinds: every call, both orders; complex data through a real design widened.
    for op in ("lfilter", "sosfilt", "stream", "streamsos", "filtfilt", "sosfiltfilt"):
        for kind in ("DRR", "DCC", "DCR"):
            for order in ("C", "F"):
                rows.append(Case(op, kind, order=order, pieces=3 if op.startswith("stream") else 1))
    rows += [
        Case("lfilter", "DCC", order="C", real=True, pieces=2),
        Case("sosfilt", "DCC", order="F", real=True, workers=2, N=37, M=50),
        Case("sosfiltfilt", "DCC", order="C", real=True, padtype="even", padlen=5),
        Case("lfilter", "DRR", order="C", inplace=True, pieces=2),
        Case("sosfilt", "DCC", order="F", inplace=True, pieces=3),
        Case("lfilter", "DRR", order="F", yorder="C", pieces=5, workers=2, N=40, M=30, zi=False),
        Case("sosfilt", "DCR", order="C", yorder="F", zi=False),
        Case("filtfilt", "DRR", order="F", padtype="constant", workers=2, N=20),
        Case("filtfilt", "DCR", order="F", yorder="C", padtype=None),
        Case("sosfiltfilt", "DRR", order="F", padtype="odd", padlen=39),
    ]
    return rows


def check_results(programs):
    rows = cases()
    text = "\n".join(c.text() for c in rows) + "\n"
    for program in programs:
        out = run([program], input=text).splitlines()
        assert out[0].split()[:2] == ["version", marrowick.__version__], out[0]
        k = 1
        for c in rows:
            status = int(out[k])
            assert status == 0, (program, c.op, c.kind, c.kw, status)
            word = np.uint64 if c.op.endswith("_zi") else np.uint32
            for want in c.expected():
                got = np.array([int(w, 16) for w in out[k + 1].split()], word).view(want.dtype)
                k += 1
                assert same_bits(got, want), (program, c.op, c.kind, c.kw)
            k += 1
        assert k == len(out), (k, len(out))
    return len(rows)


def main():
    tmp = tempfile.mkdtemp(prefix="marrowick-capi-")
    try:
        prefix, pcdir = stage(tmp)
        programs, libdir = build(tmp, prefix, pcdir)
        check_symbols(libdir)
        check_order_quoted()
        n = check_results(programs)
        print("ok: %d calls, C and C++ consumers, %s" % (n, "Debian packages" if DEBIAN else "installed prefix"))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
