// The kernel paths: the instruction sets that the library's inner loops are
// built for, one row each, and the choice among them when the library is
// loaded. The fit's kernels (gauss2_kernel.cpp) and the peak search
// (gauss2_peaks.cpp) are each built once per row, and each picks its
// functions from the row of the path in use.
//
// Internal to the library; nothing here is exported.
//
// The table, one row a path (the X-macro GAUSS2_KERNEL_PATHS):
//
//   ROW(name, target, layout, runs)
//     name    the path's name (kernel_path_name, GAUSS2_FITTER_ISA) and the
//             suffix of its functions;
//     target  the attribute that builds a function for the path's
//             instruction set (empty: the build's baseline);
//     layout  the fit kernels' pixel layout (gauss2_kernel.h);
//     runs    whether this processor (and its operating system) runs it.
//
// Rows run from the portable path to the widest; the best path that runs
// here is the default. Every path gives the same results, to the bit
// (gauss2_simd.h says how).
//
// Adding a vector path is one row below. Each file with kernels builds its
// functions for every row by expanding the table with a macro of its own,
// and picks them by the row of kernel_path(), as gauss2_kernel.cpp and
// gauss2_peaks.cpp do:
//
//   #define GAUSS2_MY_LOOP(name, target, layout, runs) [[gnu::noinline]] target void
//       my_loop_##name(...) { my_loop<layout>(...); }          (on one line)
//   GAUSS2_KERNEL_PATHS(GAUSS2_MY_LOOP)
//   #define GAUSS2_MY_LOOP_ROW(name, target, layout, runs) &my_loop_##name,
//   constexpr MyLoop kMyLoops[] = {GAUSS2_KERNEL_PATHS(GAUSS2_MY_LOOP_ROW)};
//   ... kMyLoops[kernel_path()](...);
#pragma once

#include <iterator>

// Vector paths in x86-64 builds, but not under the thread sanitizer, whose
// runtime is not ready when the processor is first examined.
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define GAUSS2_MULTIVERSION 1
#else
#define GAUSS2_MULTIVERSION 0
#endif

#define GAUSS2_TARGET(isa) __attribute__((target(isa)))

// The x86-64 micro-architecture levels of the vector paths: GCC tests a level
// by its name; clang 14 (the fuzz build) knows only the features, of which
// these are the ones the kernels' instructions need.
#if defined(__clang__)
#define GAUSS2_X86_64_V3                                                                                 \
    (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("bmi") && \
     __builtin_cpu_supports("bmi2"))
#define GAUSS2_X86_64_V4                                                                            \
    (GAUSS2_X86_64_V3 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && \
     __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&                    \
     __builtin_cpu_supports("avx512cd"))
#else
#define GAUSS2_X86_64_V3 __builtin_cpu_supports("x86-64-v3")
#define GAUSS2_X86_64_V4 __builtin_cpu_supports("x86-64-v4")
#endif

// (Macro arguments here are names, attributes and types, not expressions:
// nothing to parenthesise.)
#if GAUSS2_MULTIVERSION
#define GAUSS2_KERNEL_PATHS(ROW)                                             \
    ROW(default, , DefaultLayout, true)                                      \
    ROW(avx2, GAUSS2_TARGET("arch=x86-64-v3"), Avx2Layout, GAUSS2_X86_64_V3) \
    ROW(avx512, GAUSS2_TARGET("arch=x86-64-v4"), Avx512Layout, GAUSS2_X86_64_V4)
#else
#define GAUSS2_KERNEL_PATHS(ROW) ROW(default, , DefaultLayout, true)
#endif

namespace gauss2 {

// A path: its row in the table, from 0 (the portable one).
using KernelPath = int;
constexpr KernelPath kDefaultPath = 0;

// The rows' names, and how many rows this build has.
#define GAUSS2_PATH_NAME(name, target, layout, runs) #name,  // NOLINT(bugprone-macro-parentheses)
inline constexpr const char *kKernelPathNames[] = {GAUSS2_KERNEL_PATHS(GAUSS2_PATH_NAME)};
#undef GAUSS2_PATH_NAME
constexpr int kKernelPathCount = static_cast<int>(std::size(kKernelPathNames));

// The path the kernels take: the best that the processor (and the operating
// system) supports, chosen when the library is loaded, or a lower one that
// the environment variable GAUSS2_FITTER_ISA names ("default", "avx2",
// "avx512"; a name that is no row is reported on stderr and changes nothing;
// a path above this machine's best gives its best).
KernelPath kernel_path();
// The best path of this machine and build.
KernelPath best_kernel_path();
// Whether this processor runs the path.
bool path_runs_here(KernelPath path);
// Makes `path` the one the kernels take from now on, if the machine has it
// (returns whether it does). For tests: not to be called while kernels run.
bool set_kernel_path(KernelPath path);
// The row's name ("default", "avx2", "avx512"), or null for no row.
const char *kernel_path_name(KernelPath path);
// The row named `name`, or -1.
KernelPath find_kernel_path(const char *name);

}  // namespace gauss2
