// Benchmarks of programs with fixed addresses (shm keys, UDP ports) run in
// private namespaces: a benchmark started by hand re-runs itself under
// scripts/netns-run.sh, which sets NUVAK_IN_NETNS=1 for the second start.
// NUVAK_NETNS_RUN is the script's path (a compile definition of the target).
#ifndef NUVAK_BENCH_COMMON_NETNS_H
#define NUVAK_BENCH_COMMON_NETNS_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace nuvak::bench {

inline bool InPrivateNamespaces() {
    const char* v = std::getenv("NUVAK_IN_NETNS");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

// Replaces this process by netns-run.sh running this program with the same
// arguments; returns (1) only when that cannot be done.
inline int ReRunInPrivateNamespaces(int argc, char** argv, const char* name) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        std::fprintf(stderr, "%s: cannot read /proc/self/exe\n", name);
        return 1;
    }
    self[n] = '\0';
    std::vector<char*> args{const_cast<char*>(NUVAK_NETNS_RUN), self};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(NUVAK_NETNS_RUN, args.data());
    std::fprintf(stderr, "%s: cannot run %s\n", name, NUVAK_NETNS_RUN);
    return 1;
}

}  // namespace nuvak::bench

#endif
