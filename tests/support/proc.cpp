#include "proc.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace nuvak::rig {

namespace {

pid_t Spawn(std::vector<std::string>& argv, const std::string& outFile, long sigpending = -1) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (sigpending >= 0) {
            const rlimit rl{static_cast<rlim_t>(sigpending), static_cast<rlim_t>(sigpending)};
            setrlimit(RLIMIT_SIGPENDING, &rl);
        }
        // A child must not inherit the caller's blocked signals.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        std::vector<char*> a;
        for (auto& s : argv) a.push_back(s.data());
        a.push_back(nullptr);
        execv(a[0], a.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

Proc::Proc(std::vector<std::string> argv, const std::string& outFile, long sigpending) : out_(outFile) {
    if (out_.empty()) {
        char tmpl[] = "/tmp/nuvak-proc.XXXXXX";
        const int fd = mkstemp(tmpl);
        if (fd >= 0) close(fd);
        out_ = tmpl;
        ownOut_ = true;
    }
    pid_ = Spawn(argv, out_, sigpending);
}

Proc::~Proc() {
    if (Running()) {
        kill(pid_, SIGKILL);
        Wait(Ms(5000));
    }
    if (ownOut_) unlink(out_.c_str());
}

bool Proc::Running() {
    if (pid_ <= 0 || status_ != -1) return false;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return true;
}

void Proc::Signal(int sig) {
    if (Running()) kill(pid_, sig);
}

int Proc::Wait(Ms timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (Running()) {
        if (std::chrono::steady_clock::now() > end) return -1;
        usleep(10000);
    }
    return status_;
}

std::string Proc::Output() const { return ReadFile(out_); }

bool Proc::WaitFor(const std::string& text, Ms timeout) const {
    const auto end = std::chrono::steady_clock::now() + timeout;
    do {
        if (Output().find(text) != std::string::npos) return true;
        usleep(20000);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

bool Proc::NextLine(const std::string& prefix, std::string* line, Ms timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::string out = Output();
        std::size_t nl;
        while (read_ < out.size() && (nl = out.find('\n', read_)) != std::string::npos) {
            lines_.push_back(out.substr(read_, nl - read_));
            read_ = nl + 1;
            if (AfterStamp(lines_.back()).compare(0, prefix.size(), prefix) == 0) {
                if (line != nullptr) *line = lines_.back();
                return true;
            }
        }
        if (std::chrono::steady_clock::now() > end) return false;
        usleep(10000);
    }
}

namespace {
// "YYYY-MM-DDTHH:MM:SS.mmmZ ": digits where the pattern has 'd'.
bool HasStamp(const std::string& line) {
    static const char kPattern[] = "dddd-dd-ddTdd:dd:dd.dddZ ";
    if (line.size() < sizeof kPattern - 1) return false;
    for (std::size_t i = 0; i + 1 < sizeof kPattern; ++i) {
        const char p = kPattern[i], c = line[i];
        if (p == 'd' ? (c < '0' || c > '9') : c != p) return false;
    }
    return true;
}
}  // namespace

std::string AfterStamp(const std::string& line) { return HasStamp(line) ? line.substr(25) : line; }

bool StampedLine(const std::string& line, const std::string& text) {
    return HasStamp(line) && line.compare(25, text.size(), text) == 0;
}

std::string SanitizerReport(const std::string& output) {
    static const char* const kMarks[] = {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                                         "AddressSanitizer:DEADLYSIGNAL", "UndefinedBehaviorSanitizer"};
    std::string report;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        for (const char* m : kMarks)
            if (line.find(m) != std::string::npos) {
                report += line + "\n";
                break;
            }
    }
    return report;
}

int RunToEnd(std::vector<std::string> argv, const std::string& outFile) {
    const pid_t pid = Spawn(argv, outFile);
    int st = 0;
    if (pid < 0 || waitpid(pid, &st, 0) != pid) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace nuvak::rig
