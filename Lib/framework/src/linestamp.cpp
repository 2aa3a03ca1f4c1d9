// Stamped lines through a glibc cookie stream over a descriptor.
#include "linestamp.h"

#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace {

struct Stamper {
    int fd;
    std::string (*clock)();
    bool owned;  // deleted when its stream is closed
    bool atLineStart = true;
};

// Writes all of `text`; output that cannot be written (descriptor closed,
// pipe gone) is dropped rather than retried: diagnostics must not stop the
// process.
void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;
        }
    }
}

// Called by stdio with what it buffered: at each line feed (line-buffered),
// at fflush, or when the buffer fills. A stamp goes before the first byte of
// every line; the state carries a partial line over to the next call.
ssize_t StampWrite(void* cookie, const char* data, size_t size) {
    Stamper& s = *static_cast<Stamper*>(cookie);
    std::string out;
    out.reserve(size + 32);
    std::string stamp;
    for (std::size_t i = 0; i < size;) {
        if (s.atLineStart) {
            if (stamp.empty()) stamp = s.clock() + " ";
            out += stamp;
            s.atLineStart = false;
        }
        const void* nl = std::memchr(data + i, '\n', size - i);
        const std::size_t end = nl != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nl) - data) + 1 : size;
        out.append(data + i, end - i);
        if (nl != nullptr) s.atLineStart = true;
        i = end;
    }
    WriteAll(s.fd, out);
    return static_cast<ssize_t>(size);  // what could not be written is dropped, not retried
}

int StampClose(void* cookie) {
    auto* s = static_cast<Stamper*>(cookie);
    if (s->owned) delete s;  // the stream's ownership point
    return 0;
}

std::FILE* OpenOn(Stamper* s) {
    cookie_io_functions_t io{};
    io.write = StampWrite;
    io.close = StampClose;
    std::FILE* f = fopencookie(s, "w", io);
    if (f != nullptr) setvbuf(f, nullptr, _IOLBF, BUFSIZ);
    return f;
}

}  // namespace

std::string UtcStamp() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    gmtime_r(&ts.tv_sec, &t);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(ts.tv_nsec / 1000000));
    return buf;
}

std::FILE* OpenStampedStream(int fd, std::string (*clock)()) {
    auto s = std::make_unique<Stamper>(Stamper{fd, clock != nullptr ? clock : UtcStamp, true});
    std::FILE* f = OpenOn(s.get());
    if (f != nullptr) s.release();  // the stream owns it now; StampClose deletes it
    return f;
}

std::FILE* StampStandardOutput() {
    static std::FILE* plain = nullptr;
    if (plain != nullptr) return plain;
    std::fflush(stdout);
    // Standard output's stamper lives as long as the process: stdio flushes
    // the stream after main() returns and static objects are gone.
    static Stamper stamper{STDOUT_FILENO, UtcStamp, false};
    std::FILE* stamped = OpenOn(&stamper);
    if (stamped == nullptr) return stdout;  // unstamped output rather than none
    plain = stdout;
    stdout = stamped;
    return plain;
}
