// A child process for end-to-end tests: started from a path and arguments,
// its standard output read line by line with a time-out, stopped by signal.
// The destructor kills and reaps a child that is still running, so a failed
// test leaves nothing behind.
#ifndef NUVAK_TESTS_TMGR_CHILD_H
#define NUVAK_TESTS_TMGR_CHILD_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace nuvak::test {

class Child {
public:
    explicit Child(const std::vector<std::string>& argv) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            // A child must not inherit the test's blocked signals.
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(out[1]);
        fd_ = out[0];
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) close(fd_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return pid_; }

    // The next whole line of output (without '\n'), or false after `ms`.
    bool ReadLine(std::string* line, int ms = 5000) {
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;) {
            std::size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                *line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return true;
            }
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            long left = ms - ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000);
            if (left <= 0 || fd_ < 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char chunk[512];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) return false;  // end of output
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Reads lines until one starts with `prefix`; every line read is kept.
    bool WaitFor(const std::string& prefix, std::string* line = nullptr, int ms = 5000) {
        std::string l;
        while (ReadLine(&l, ms)) {
            lines.push_back(l);
            if (l.compare(0, prefix.size(), prefix) == 0) {
                if (line != nullptr) *line = l;
                return true;
            }
        }
        return false;
    }

    void Signal(int signo) {
        if (pid_ > 0 && !reaped_) kill(pid_, signo);
    }

    // Exit status (or 128 + signal), or -1 when it did not end within `ms`.
    int Wait(int ms = 5000) {
        for (int waited = 0; waited <= ms; waited += 10) {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                reaped_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(10000);
        }
        return -1;
    }

    std::vector<std::string> lines;  // lines seen by WaitFor

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    bool reaped_ = false;
    std::string buffer_;
};

}  // namespace nuvak::test

#endif
