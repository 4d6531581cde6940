// Every line kernel in the order of preference, the one place that states
// it, a row each: HEXCAT_KERNEL(fn, name, check) for the kernel lines<fn>(),
// which the tool and the tests call name, and the processor runs where
// check() is true. kernels.h declares the kernels from it, table.cpp makes
// the table (so no include guard); cmake/ports.cmake reads the names.
#if defined(HEXCAT_X86)
HEXCAT_KERNEL(avx2, "avx2", haveavx2)
HEXCAT_KERNEL(ssse3, "ssse3", havessse3)
#elif defined(HEXCAT_NEON)
HEXCAT_KERNEL(neon, "neon", always)
#elif defined(HEXCAT_VSX)
HEXCAT_KERNEL(vsx, "vsx", always)
#elif defined(HEXCAT_VX)
HEXCAT_KERNEL(vx, "vx", havevx)
#elif defined(HEXCAT_NEON32)
HEXCAT_KERNEL(neon32, "neon", haveneon32)
#endif
// The wordwise kernel, for processors without fast unaligned stores
// (HEXCAT_STRICTALIGN), comes before the portable one there; elsewhere it
// comes after it, built to be tested and never chosen.
#if defined(HEXCAT_WORDWISE) && defined(HEXCAT_STRICTALIGN)
HEXCAT_KERNEL(wordwise, "wordwise", always)
#endif
HEXCAT_KERNEL(portable, "portable", always)
#if defined(HEXCAT_WORDWISE) && !defined(HEXCAT_STRICTALIGN)
HEXCAT_KERNEL(wordwise, "wordwise", always)
#endif
