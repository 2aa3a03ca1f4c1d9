// A child process of a test or benchmark: started from a path and arguments,
// its standard output and error in a file, read whole or line by line with a
// time-out, stopped by signal. The destructor kills (SIGKILL) and reaps a
// child still running, so a failed test leaves nothing behind.
#ifndef NUVAK_TESTS_SUPPORT_PROC_H
#define NUVAK_TESTS_SUPPORT_PROC_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace nuvak::rig {

using Ms = std::chrono::milliseconds;

class Proc {
public:
    // outFile "": a temporary file of its own, removed with the Proc.
    // sigpending >= 0 lowers the child's RLIMIT_SIGPENDING (queued real-time
    // signals), so that the kernel's queue overflows under load.
    explicit Proc(std::vector<std::string> argv, const std::string& outFile = "", long sigpending = -1);
    ~Proc();
    Proc(const Proc&) = delete;
    Proc& operator=(const Proc&) = delete;

    pid_t Pid() const { return pid_; }
    bool Running();
    void Signal(int sig);
    // Exit status; 128 + signal when killed; -1 when still running at the end.
    int Wait(Ms timeout = Ms(5000));
    std::string Output() const;
    // True once the output holds `text` anywhere.
    bool WaitFor(const std::string& text, Ms timeout) const;
    // Reads whole lines after the last one read until one starts with
    // `prefix` after its time stamp, if it has one (false at the time-out);
    // every line read is kept in Lines(), stamp included.
    bool NextLine(const std::string& prefix, std::string* line = nullptr, Ms timeout = Ms(5000));
    const std::vector<std::string>& Lines() const { return lines_; }

private:
    std::string out_;
    bool ownOut_ = false;
    pid_t pid_ = -1;
    int status_ = -1;
    std::size_t read_ = 0;  // bytes of the output read as lines
    std::vector<std::string> lines_;
};

// The text of a line after its time stamp ("2026-12-07T19:01:02.345Z "),
// the whole line when it has none.
std::string AfterStamp(const std::string& line);
// Whether `line` starts with a well-formed time stamp followed by `text`.
bool StampedLine(const std::string& line, const std::string& text);

// Lines a sanitizer printed into a child's output (empty when clean).
std::string SanitizerReport(const std::string& output);

// Runs a program to its end with output to `outFile`; its exit status.
int RunToEnd(std::vector<std::string> argv, const std::string& outFile = "/dev/null");

std::string ReadFile(const std::string& path);

}  // namespace nuvak::rig

#endif
