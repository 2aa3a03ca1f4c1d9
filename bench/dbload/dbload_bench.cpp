// Full-size database load (256 tours, 256 group presets of 128 elements,
// 2048 cameras, 1024 monitors) into the tour service's tables the way the
// service does it at start: one load pass over the four tables into a
// staging copy (every index checked against its data, every record against
// the key sought), applied to the tables once read clean. Compared in the
// same run with
//  - the I/O floor: reading the bytes of the same eight files whole;
//  - a peer: python3-dbfread reading the four .dbf files whole (timed inside
//    the Python process, interpreter start-up and imports left out).
// After the Google Benchmark runs, a summary prints the medians and ratios
// and the system calls of one load (counted with strace); the targets are a
// load at least 20x faster than the peer, within 50x of the I/O floor, and
// at most 200 system calls.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "dbif.h"
#include "gpresettable.h"
#include "installation.h"
#include "nuvaktable.h"
#include "tableload.h"

namespace {

using namespace nuvak::dbw;

// Two copies of the full-size database: records in description order (a
// writer that writes a table whole keeps the records of one tour or preset
// together) and scattered (records of one key far apart, the worst case for
// the data file's node buffer).
std::string g_root, g_dir, g_scattered;

void MakeDatabase() {
    char tmpl[] = "/tmp/bench_dbload.XXXXXX";
    if (!::mkdtemp(tmpl)) std::abort();
    g_root = tmpl;
    g_dir = g_root + "/listed";
    g_scattered = g_root + "/scattered";
    Installation inst = ExampleInstallation(true);
    for (const std::string* dir : {&g_dir, &g_scattered}) {
        std::string error;
        WriteOptions o;
        o.order = dir == &g_dir ? RecordOrder::kListed : RecordOrder::kShuffled;
        if (!WriteInstallation(*dir, inst, {std::begin(kAllTables), std::end(kAllTables)}, o,
                               &error)) {
            std::fprintf(stderr, "bench_dbload: %s\n", error.c_str());
            std::exit(1);
        }
    }
}

// One start-up load; the descriptors are reset first, so their set-up is
// counted as at a real start. The tables are handed back so that their
// destruction (not part of a start) can happen outside the timing.
struct Loaded {
    std::unique_ptr<NuvakTable> tours;
    std::unique_ptr<GpresetTable> presets;
    size_t Size() const { return tours->Size() + presets->Size(); }
};
Loaded LoadFrom(const std::string& dir) {
    DBIF_SetPath(dir.c_str());
    Loaded l;
    l.tours = std::make_unique<NuvakTable>();
    l.presets = std::make_unique<GpresetTable>();
    nuvak::tables::LoadTables(l.tours.get(), 256, l.presets.get(), 256, nuvak::tables::kAllTables, "bench_dbload");
    return l;
}
Loaded LoadOnce() { return LoadFrom(g_dir); }
Loaded LoadScattered() { return LoadFrom(g_scattered); }

size_t ReadBytesOnce() {
    static const char* const kFiles[] = {"nuvak", "grppre", "cam", "mon"};
    static std::vector<char> buf(1 << 20);
    size_t total = 0;
    for (const char* f : kFiles) {
        for (const char* ext : {".dbf", ".mdx"}) {
            std::string path = g_dir + "/" + f + ext;
            int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) std::abort();
            ssize_t n;
            while ((n = ::read(fd, buf.data(), buf.size())) > 0) total += static_cast<size_t>(n);
            ::close(fd);
        }
    }
    return total;
}

// The peer's median read time in seconds (wall clock; with `cpu` the
// median process CPU time), or a negative value when it cannot run.
double PeerSeconds(int repeat, double* cpu = nullptr) {
    std::string cmd = std::string("/usr/bin/python3 ") + DBLOAD_PEER_SCRIPT + " '" + g_dir + "' " +
                      std::to_string(repeat) + " 2>/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return -1;
    double s = -1, c = -1;
    if (std::fscanf(p, "%lf %lf", &s, &c) != 2) s = -1;
    if (cpu) *cpu = c;
    if (::pclose(p) != 0) return -1;
    return s;
}

// The service's start-up load, from files written in order or scattered.
void BM_ServiceLoad(benchmark::State& state, Loaded (*load)()) {
    size_t n = 0;
    for (auto _ : state) {
        Loaded l = load();
        n = l.Size();
        state.PauseTiming();
        l = Loaded{};
        state.ResumeTiming();
    }
    if (n != 512) state.SkipWithError("not every tour and preset loaded");
}
BENCHMARK_CAPTURE(BM_ServiceLoad, InOrder, &LoadOnce)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_CAPTURE(BM_ServiceLoad, Scattered, &LoadScattered)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_ReadBytesFloor(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(ReadBytesOnce());
}
BENCHMARK(BM_ReadBytesFloor)->Unit(benchmark::kMillisecond);

void BM_PeerDbfread(benchmark::State& state) {
    for (auto _ : state) {
        double s = PeerSeconds(1);
        if (s < 0) {
            state.SkipWithError("python3-dbfread not available");
            break;
        }
        state.SetIterationTime(s);
    }
}
BENCHMARK(BM_PeerDbfread)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

double CpuNow() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Median wall-clock and CPU seconds of `runs` calls of f (the result is
// dropped after the clocks are read).
template <typename F>
double MedianSeconds(int runs, F f, double* cpu) {
    std::vector<double> t, c;
    for (int i = 0; i < runs; ++i) {
        double c0 = CpuNow();
        auto start = std::chrono::steady_clock::now();
        auto result = f();
        t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        c.push_back(CpuNow() - c0);
        benchmark::DoNotOptimize(result);
    }
    std::sort(t.begin(), t.end());
    std::sort(c.begin(), c.end());
    *cpu = c[c.size() / 2];
    return t[t.size() / 2];
}

// The system calls of one full load: this program run under `strace -c -f`
// once loading and once not (--syscalls-load / --syscalls-none DIR), the
// difference of the totals. -1 when strace cannot be run.
long CountCalls(const char* mode) {
    std::string out = g_root + "/strace.txt";
    std::string cmd = "strace -f -c -o '" + out + "' /proc/" + std::to_string(::getpid()) + "/exe " + mode +
                      " '" + g_dir + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return -1;
    FILE* f = std::fopen(out.c_str(), "r");
    if (!f) return -1;
    long total = -1;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        double pct, secs;
        long usecs, calls;
        char name[64];
        // "100.00    0.000651           3       212         2 total"
        if (std::strstr(line, " total") &&
            std::sscanf(line, "%lf %lf %ld %ld", &pct, &secs, &usecs, &calls) == 4)
            total = calls;
        (void)name;
    }
    std::fclose(f);
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && (std::strcmp(argv[1], "--syscalls-load") == 0 ||
                      std::strcmp(argv[1], "--syscalls-none") == 0)) {
        g_dir = argv[2];
        if (argv[1][11] == 'l') {
            Loaded l = LoadOnce();
            return l.Size() == 512 ? 0 : 1;
        }
        DBIF_SetPath(g_dir.c_str());
        return 0;
    }
    MakeDatabase();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const int runs = 21;
    double loadCpu, scatteredCpu, floorCpu, peerCpu = -1;
    double load = MedianSeconds(runs, LoadOnce, &loadCpu);
    double scattered = MedianSeconds(runs, LoadScattered, &scatteredCpu);
    double floor = MedianSeconds(runs, ReadBytesOnce, &floorCpu);
    double peer = PeerSeconds(runs, &peerCpu);
    long withLoad = CountCalls("--syscalls-load"), without = CountCalls("--syscalls-none");
    std::printf("\nsummary (medians of %d runs; wall clock, and CPU time of the process)\n", runs);
    std::printf("  service load (one load pass)          %8.3f ms wall %8.3f ms cpu\n", load * 1e3,
                loadCpu * 1e3);
    std::printf("  the same, records scattered           %8.3f ms wall %8.3f ms cpu\n",
                scattered * 1e3, scatteredCpu * 1e3);
    std::printf("  I/O floor (read the 8 files whole)    %8.3f ms wall %8.3f ms cpu  "
                "load / floor = %.0fx wall, %.0fx cpu  target <= 50x: %s\n",
                floor * 1e3, floorCpu * 1e3, load / floor, loadCpu / floorCpu, load / floor <= 50 ? "met" : "MISSED");
    if (peer > 0) {
        std::printf("  peer: python3-dbfread, 4 .dbf whole   %8.3f ms wall %8.3f ms cpu  "
                    "peer / load = %.1fx wall, %.1fx cpu  target >= 20x: %s\n",
                    peer * 1e3, peerCpu * 1e3, peer / load, peerCpu / loadCpu,
                    peer / load >= 20 ? "met" : "MISSED");
    } else {
        std::printf("  peer: python3-dbfread not available\n");
    }
    if (withLoad >= 0 && without >= 0) {
        std::printf("  system calls of one full load         %8ld (process with the load %ld, without %ld)  "
                    "target <= 200: %s\n",
                    withLoad - without, withLoad, without, withLoad - without <= 200 ? "met" : "MISSED");
    } else {
        std::printf("  system calls: strace not available\n");
    }
    DBIF_SetPath(nullptr);
    if (std::system(("rm -rf '" + g_root + "'").c_str()) != 0) return 1;
    return 0;
}
