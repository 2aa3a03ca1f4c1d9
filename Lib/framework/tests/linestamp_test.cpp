// The line stamper: one stamp at the start of every line, whatever way the
// line reaches the stream.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "linestamp.h"

namespace {

int ticks = 0;
std::string FakeClock() { return "T" + std::to_string(++ticks); }

// Runs `write` on a stamped stream over a pipe and returns what came out.
template <typename F>
std::string Through(F write) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    ticks = 0;
    std::FILE* f = OpenStampedStream(fds[1], FakeClock);
    EXPECT_NE(f, nullptr);
    write(f);
    std::fclose(f);
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    return out;
}

TEST(LineStamp, OneStampPerLineHoweverWritten) {
    // A line from two printf calls, two lines from one, a partial line
    // flushed and finished later, and an unfinished last line.
    const std::string out = Through([](std::FILE* f) {
        std::fprintf(f, "tour %u: ", 7u);
        std::fprintf(f, "started\n");
        std::fputs("one\ntwo\n", f);
        std::fputs("half", f);
        std::fflush(f);
        std::fputs(" and half\nlast", f);
    });
    EXPECT_EQ(out, "T1 tour 7: started\nT2 one\nT2 two\nT3 half and half\nT4 last");
}

TEST(LineStamp, LineBufferedAndUtcFormat) {
    // Each line reaches the descriptor at its line feed, without fflush.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::FILE* f = OpenStampedStream(fds[1]);
    ASSERT_NE(f, nullptr);
    std::fputs("ready\n", f);
    char buf[256] = {};
    const ssize_t n = read(fds[0], buf, sizeof buf - 1);
    std::fclose(f);
    close(fds[1]);
    close(fds[0]);
    const std::string line(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    ASSERT_EQ(line.size(), 25u + 6u) << line;
    EXPECT_EQ(line.substr(24), " ready\n");
    EXPECT_EQ(line[4], '-');
    EXPECT_EQ(line[10], 'T');
    EXPECT_EQ(line[19], '.');
    EXPECT_EQ(line[23], 'Z');
}

}  // namespace
