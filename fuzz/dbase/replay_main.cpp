// Replays corpus files (or folders of them) through a fuzz target's entry
// point, for builds without libFuzzer. Exits non-zero if nothing was found.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

static void RunOne(const fs::path& p, int* count) {
    std::ifstream in(p, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    ++*count;
}

int main(int argc, char** argv) {
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        fs::path p(argv[i]);
        if (fs::is_directory(p)) {
            for (const auto& e : fs::recursive_directory_iterator(p))
                if (e.is_regular_file()) RunOne(e.path(), &count);
        } else if (fs::is_regular_file(p)) {
            RunOne(p, &count);
        }
    }
    std::printf("replayed %d input(s)\n", count);
    return count > 0 ? 0 : 1;
}
