// Set-up failures: what failed, on what, and why, said once.
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "framework.h"

namespace {

// Single-threaded like the rest of the framework: set-up runs on the thread
// that runs the loop.
std::string& LastError() {
    static std::string text;
    return text;
}

std::set<std::string>& Reported() {
    static std::set<std::string> lines;
    return lines;
}

}  // namespace

std::string SystemReason(int err) { return std::strerror(err); }

void SetSetupError(std::string text) { LastError() = std::move(text); }

const std::string& LastSetupError() { return LastError(); }

bool ReportSetupFailure(const std::string& line) {
    if (!Reported().insert(line).second) return false;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return true;
}
