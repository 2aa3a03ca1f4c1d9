#include "fuzz_dbase_files.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string g_dir;

void RemoveDir() {
    for (const char* n : {"in.dbf", "in.mdx"}) ::unlink((g_dir + "/" + n).c_str());
    ::rmdir(g_dir.c_str());
}

const std::string& Dir() {
    if (g_dir.empty()) {
        struct stat st;
        std::string base = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
        std::string tmpl = base + "/dbase-fuzz-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        g_dir = buf.data();
        std::atexit(RemoveDir);
    }
    return g_dir;
}

}  // namespace

std::string FuzzWriteFile(const char* name, const std::uint8_t* data, std::size_t size) {
    std::string path = Dir() + "/" + name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return "";
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return done == size ? path : "";
}
