// nuvak-netrelay: a UDP relay between two units of the simulated network
// that delays, duplicates and reorders datagrams (the machine's kernel has no
// netem; loss comes from nftables, see docs/network.md). It listens at an
// address that stands for unit J in unit K's unit table and forwards each
// datagram to J from an address of its own that stands for K; one forwarding
// socket per requester (address and port), so J sees each requester's
// repeats come from one place. Answers come back the same way. The faults
// apply to both directions.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "linestamp.h"
#include "toolargs.h"

namespace {

const char kUsage[] =
    "usage: nuvak-netrelay --listen ADDRESS --from ADDRESS --to ADDRESS [--port P]\n"
    "                      [--delay MS] [--jitter MS] [--dup PCT] [--reorder PCT] [--gap MS]\n"
    "Relays UDP datagrams sent to ADDRESS:P on to the --to address (port P) from\n"
    "the --from address, and the answers back, with faults in both directions:\n"
    "  --delay MS    every datagram leaves this much later (default 0)\n"
    "  --jitter MS   plus a random 0..MS (default 0)\n"
    "  --dup PCT     this share of datagrams is sent twice (default 0)\n"
    "  --reorder PCT this share is held back by --gap MS more (default 20), so\n"
    "                that later datagrams overtake it (default 0)\n"
    "  --port P      the UDP port on both sides (default 5110)\n"
    "Prints 'listening ...' once ready and counts on SIGINT/SIGTERM.\n";

[[noreturn]] void Fail(const std::string& why) { nuvak::toolargs::Fail("nuvak-netrelay", why + " (try --help)", 2); }

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

using nuvak::toolargs::NowMs;

sockaddr_in Addr(const std::string& text, unsigned short port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, text.c_str(), &sa.sin_addr) != 1) Fail("not an IPv4 address: " + text);
    return sa;
}

int Bound(const sockaddr_in& at) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &at.sin_addr, text, sizeof text);
        Fail(std::string("cannot bind ") + text + ":" + std::to_string(ntohs(at.sin_port)));
    }
    return fd;
}

struct Pending {
    int fd;
    sockaddr_in to;
    std::string bytes;
};

}  // namespace

int main(int argc, char** argv) {
    std::string listen, from, to;
    unsigned short port = 5110;
    unsigned long delay = 0, jitter = 0, dup = 0, reorder = 0, gap = 20;
    nuvak::toolargs::ReadAll(argc, argv, 1, kUsage, Fail, [&](nuvak::toolargs::Reader& r, const std::string& k) {
        if (k == "--listen") listen = r.Value();
        else if (k == "--from") from = r.Value();
        else if (k == "--to") to = r.Value();
        else if (k == "--port") port = r.Number<unsigned short>(0, 65535);
        else if (k == "--delay") delay = r.Number(0, 60000);
        else if (k == "--jitter") jitter = r.Number(0, 60000);
        else if (k == "--dup") dup = r.Number(0, 100);
        else if (k == "--reorder") reorder = r.Number(0, 100);
        else if (k == "--gap") gap = r.Number(0, 60000);
        else throw nuvak::toolargs::BadArgs("unknown option " + k);
    });
    if (argc == 1) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (listen.empty() || from.empty() || to.empty()) Fail("--listen, --from and --to are needed");
    StampStandardOutput();
    signal(SIGINT, OnStop);
    signal(SIGTERM, OnStop);
    const int front = Bound(Addr(listen, port));
    const sockaddr_in target = Addr(to, port);
    const sockaddr_in back = Addr(from, 0);
    std::map<std::pair<std::uint32_t, std::uint16_t>, int> byRequester;  // requester -> forwarding socket
    std::map<int, sockaddr_in> requesterOf;                               // forwarding socket -> requester
    std::multimap<double, Pending> queue;
    std::mt19937 rng(static_cast<unsigned>(getpid()));
    std::uniform_int_distribution<unsigned long> pct(0, 99);
    unsigned long relayed = 0, duplicated = 0, reordered = 0;
    std::printf("listening %s:%u -> %s from %s delay %lu jitter %lu dup %lu%% reorder %lu%%\n", listen.c_str(), port,
                to.c_str(), from.c_str(), delay, jitter, dup, reorder);
    std::fflush(stdout);

    auto enqueue = [&](int fd, const sockaddr_in& dest, std::string bytes) {
        double due = NowMs() + static_cast<double>(delay);
        if (jitter > 0) due += static_cast<double>(std::uniform_int_distribution<unsigned long>(0, jitter)(rng));
        if (reorder > 0 && pct(rng) < reorder) {
            due += static_cast<double>(gap);
            ++reordered;
        }
        if (dup > 0 && pct(rng) < dup) {
            queue.emplace(due + 1.0, Pending{fd, dest, bytes});
            ++duplicated;
        }
        queue.emplace(due, Pending{fd, dest, std::move(bytes)});
        ++relayed;
    };

    std::vector<char> buf(65536);
    while (g_stop == 0) {
        std::vector<pollfd> fds{{front, POLLIN, 0}};
        for (const auto& e : requesterOf) fds.push_back({e.first, POLLIN, 0});
        int wait = 200;
        if (!queue.empty()) wait = std::max(0, static_cast<int>(queue.begin()->first - NowMs()) + 1);
        poll(fds.data(), fds.size(), wait);
        for (const pollfd& p : fds) {
            if ((p.revents & POLLIN) == 0) continue;
            for (;;) {
                sockaddr_in src{};
                socklen_t len = sizeof src;
                const ssize_t n = recvfrom(p.fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&src), &len);
                if (n < 0) break;
                std::string bytes(buf.data(), static_cast<std::size_t>(n));
                if (p.fd == front) {
                    const auto key = std::make_pair(src.sin_addr.s_addr, src.sin_port);
                    auto it = byRequester.find(key);
                    if (it == byRequester.end()) {
                        const int fd = Bound(back);
                        it = byRequester.emplace(key, fd).first;
                        requesterOf[fd] = src;
                    }
                    enqueue(it->second, target, std::move(bytes));
                } else {
                    enqueue(front, requesterOf[p.fd], std::move(bytes));
                }
            }
        }
        const double now = NowMs();
        while (!queue.empty() && queue.begin()->first <= now) {
            const Pending& d = queue.begin()->second;
            sendto(d.fd, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&d.to), sizeof d.to);
            queue.erase(queue.begin());
        }
    }
    std::printf("stopped relayed %lu duplicated %lu reordered %lu\n", relayed, duplicated, reordered);
    for (const auto& e : requesterOf) close(e.first);
    close(front);
    return 0;
}
