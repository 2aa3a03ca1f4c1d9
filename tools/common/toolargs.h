// What the programs under tools/ share: a reader that walks the arguments,
// takes the value after a flag and reads numbers (decimal or 0x hex) within a
// range. A bad argument throws BadArgs with a one-line reason; each program
// reports it its own way (its name, its exit status). And a millisecond clock.
#ifndef NUVAK_TOOLARGS_H
#define NUVAK_TOOLARGS_H

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace nuvak::toolargs {

struct BadArgs : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Decimal or 0x hex, at most `max`: no sign, no blank, nothing after it.
inline bool ParseNumber(const std::string& text, unsigned long max, unsigned long& out) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > max) return false;
    out = static_cast<unsigned long>(v);
    return true;
}

class Reader {
public:
    Reader(int argc, char** argv, int first = 1) : argc_(argc), argv_(argv), next_(first) {}
    bool More() const { return next_ < argc_; }
    // The next argument: a word, or the flag whose value Value() and Number() take.
    const std::string& Next() { return arg_ = argv_[next_++]; }
    std::string Value() {
        if (next_ >= argc_) throw BadArgs(arg_ + " needs a value");
        return argv_[next_++];
    }
    template <typename T = unsigned long>
    T Number(unsigned long min, unsigned long max) {
        const std::string v = Value();
        unsigned long n = 0;
        if (!ParseNumber(v, max, n) || n < min)
            throw BadArgs(arg_ + " takes a number " + std::to_string(min) + ".." + std::to_string(max) +
                          " (decimal or 0x hex), not '" + v + "'");
        return static_cast<T>(n);
    }

private:
    int argc_;
    char** argv_;
    int next_;
    std::string arg_;
};

// Walks the whole command line from argv[first]: --help or -h prints `usage`
// and ends the program (status 0); every other argument goes to
// each(reader, argument), which takes the values it needs from the reader
// and throws BadArgs on a bad one. The reason goes to `fail`.
template <typename Each>
void ReadAll(int argc, char** argv, int first, const char* usage, void (*fail)(const std::string&), Each each) {
    try {
        for (Reader r(argc, argv, first); r.More();) {
            const std::string& a = r.Next();
            if (a == "--help" || a == "-h") {
                std::fputs(usage, stdout);
                std::exit(0);
            }
            each(r, a);
        }
    } catch (const BadArgs& e) {
        fail(e.what());
    }
}

// "PROGRAM: REASON" on standard error, then the exit.
[[noreturn]] inline void Fail(const char* program, const std::string& reason, int status = 1) {
    std::fprintf(stderr, "%s: %s\n", program, reason.c_str());
    std::exit(status);
}

// Milliseconds on the steady clock, for latencies and deadlines.
inline double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace nuvak::toolargs

#endif
