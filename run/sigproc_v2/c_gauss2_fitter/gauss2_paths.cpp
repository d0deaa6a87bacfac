// The choice of kernel path (gauss2_paths.h), made when the library is
// loaded.

#include "gauss2_paths.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace gauss2 {

namespace {

bool runs(KernelPath path) {
#if GAUSS2_MULTIVERSION
    __builtin_cpu_init();  // may run before the runtime's own initialisation
#endif
    int row = 0;
#define GAUSS2_PATH_RUNS(name, target, layout, runs) \
    if (path == row++) return runs;
    GAUSS2_KERNEL_PATHS(GAUSS2_PATH_RUNS)
#undef GAUSS2_PATH_RUNS
    return false;
}

KernelPath machine_path() {
    KernelPath best = kDefaultPath;
    for (KernelPath path = 1; path < kKernelPathCount; path++)
        if (runs(path)) best = path;
    return best;
}

// The best path, lowered to the one GAUSS2_FITTER_ISA names; an unknown
// name is reported on stderr and changes nothing.
KernelPath requested_path(KernelPath best) {
    const char *name = std::getenv("GAUSS2_FITTER_ISA");
    if (name == nullptr || *name == '\0') return best;
    const KernelPath path = find_kernel_path(name);
    if (path >= 0) return path < best ? path : best;
    char names[128] = "";
    for (KernelPath p = 0; p < kKernelPathCount; p++) {
        if (p > 0) std::strncat(names, ", ", sizeof names - std::strlen(names) - 1);
        std::strncat(names, kKernelPathNames[p], sizeof names - std::strlen(names) - 1);
    }
    std::fprintf(stderr, "gauss2_fitter: GAUSS2_FITTER_ISA=%s is none of %s; ignored\n", name, names);
    return best;
}

const KernelPath g_best = machine_path();
std::atomic<KernelPath> g_path{requested_path(g_best)};

}  // namespace

KernelPath kernel_path() { return g_path.load(std::memory_order_relaxed); }

KernelPath best_kernel_path() { return g_best; }

// The levels nest: a processor that runs a path runs every path below it.
bool path_runs_here(KernelPath path) { return path >= 0 && path <= g_best; }

bool set_kernel_path(KernelPath path) {
    if (!path_runs_here(path)) return false;
    g_path.store(path, std::memory_order_relaxed);
    return true;
}

const char *kernel_path_name(KernelPath path) {
    return path >= 0 && path < kKernelPathCount ? kKernelPathNames[path] : nullptr;
}

KernelPath find_kernel_path(const char *name) {
    for (KernelPath path = 0; path < kKernelPathCount; path++)
        if (std::strcmp(name, kKernelPathNames[path]) == 0) return path;
    return -1;
}

}  // namespace gauss2
