// The namespace of the instruction set a translation unit is compiled for.
//
// The kernels are built once for baseline x86-64 and again, in their own
// translation units, with AVX2 and AVX-512 flags. Every inline function and
// template those translation units instantiate from shared headers would
// otherwise be an ordinary weak symbol, and the linker could keep the copy
// compiled with wider instructions for a baseline caller, which would then
// crash on a CPU without them. So the shared headers put their inline code in
// `inline namespace MARROWICK_ISA`: `baseline` unless a translation unit names
// its instruction set before its first include. Names read the same
// everywhere; the symbols differ per instruction set. tools/check-isa checks
// the objects for it.
#pragma once

#ifndef MARROWICK_ISA
#define MARROWICK_ISA baseline
#endif
