// Full-size database load (256 tours, 256 group presets of 128 elements,
// 2048 cameras, 1024 monitors) into the tour service's tables the way the
// service does it at start: one lookup per id, each opening and closing the
// table's files. Compared in the same run with
//  - the I/O floor: reading the bytes of the same eight files whole;
//  - a peer: python3-dbfread reading the four .dbf files whole (timed inside
//    the Python process, interpreter start-up and imports left out).
// After the Google Benchmark runs, a summary prints the medians and ratios;
// the targets are a load under 50 ms and at least 10x faster than the peer.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "dbif.h"
#include "gpresettable.h"
#include "installation.h"
#include "nuvaktable.h"

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
// counted as at a real start.
size_t LoadFrom(const std::string& dir) {
    DBIF_SetPath(dir.c_str());
    NuvakTable tours(256);
    GpresetTable presets(256);
    return tours.Size() + presets.Size();
}
size_t LoadOnce() { return LoadFrom(g_dir); }
size_t LoadScattered() { return LoadFrom(g_scattered); }

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

// The peer's median read time in seconds, or a negative value when it
// cannot run.
double PeerSeconds(int repeat) {
    std::string cmd = std::string("/usr/bin/python3 ") + DBLOAD_PEER_SCRIPT + " '" + g_dir + "' " +
                      std::to_string(repeat) + " 2>/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return -1;
    double s = -1;
    if (std::fscanf(p, "%lf", &s) != 1) s = -1;
    if (::pclose(p) != 0) return -1;
    return s;
}

void BM_ServiceLoad(benchmark::State& state) {
    size_t n = 0;
    for (auto _ : state) benchmark::DoNotOptimize(n = LoadOnce());
    if (n != 512) state.SkipWithError("not every tour and preset loaded");
}
BENCHMARK(BM_ServiceLoad)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_ServiceLoadScattered(benchmark::State& state) {
    size_t n = 0;
    for (auto _ : state) benchmark::DoNotOptimize(n = LoadScattered());
    if (n != 512) state.SkipWithError("not every tour and preset loaded");
}
BENCHMARK(BM_ServiceLoadScattered)->Unit(benchmark::kMillisecond)->MinTime(2.0);

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

template <typename F>
double MedianSeconds(int runs, F f) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(f());
        t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    MakeDatabase();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const int runs = 21;
    double load = MedianSeconds(runs, LoadOnce);
    double scattered = MedianSeconds(runs, LoadScattered);
    double floor = MedianSeconds(runs, ReadBytesOnce);
    double peer = PeerSeconds(runs);
    std::printf("\nsummary (medians of %d runs)\n", runs);
    std::printf("  service load (open/close per lookup)  %8.3f ms  target < 50 ms: %s\n",
                load * 1e3, load < 0.050 ? "met" : "MISSED");
    std::printf("  the same, records scattered            %8.3f ms\n", scattered * 1e3);
    std::printf("  I/O floor (read the 8 files whole)     %8.3f ms  load / floor = %.1f\n",
                floor * 1e3, load / floor);
    if (peer > 0) {
        std::printf("  peer: python3-dbfread, 4 .dbf whole    %8.3f ms  peer / load = %.1fx  "
                    "target >= 10x: %s\n",
                    peer * 1e3, peer / load, peer / load >= 10 ? "met" : "MISSED");
    } else {
        std::printf("  peer: python3-dbfread not available\n");
    }
    DBIF_SetPath(nullptr);
    if (std::system(("rm -rf '" + g_root + "'").c_str()) != 0) return 1;
    return 0;
}
