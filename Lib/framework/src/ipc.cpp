// The IPC address table and the IPC_* functions; the mailbox and message
// objects built on them.
//
// IPC address table: System V segment KEY_IPC, IPC_NADDR slots of 284 bytes,
// slot n for address n. Little-endian except where noted.
//   OFFSET SIZE FIELD
//        0    2 in use: 0 free, 0xFFFF taken
//        2    2 reserved
//        4    4 descriptor of the owner's socket (meaningful only in the owner); 0 none
//        8    2 socket address family: AF_INET
//       10    2 port, network order: 12000 + address; 0xFFFF when free
//       12    4 IPv4 address, network order: 127.0.0.1; 0 when free
//       16    8 zero
//       24    4 owner process id; -1 when free
//       28  256 receive area: the last message received for this address
// Taking a slot is a compare-and-swap of the in-use word, so two processes
// cannot take the same free address. A slot whose owner process no longer
// exists (killed without freeing it) may be taken over by number.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "byteorder.h"
#include "framework.h"
#include "ipcimpl.h"
#include "sharedmem.h"

namespace {

constexpr std::size_t kSlotSize = 284;
constexpr std::size_t kInUse = 0;
constexpr std::size_t kDescriptor = 4;
constexpr std::size_t kFamily = 8;
constexpr std::size_t kPort = 10;
constexpr std::size_t kAddr = 12;
constexpr std::size_t kZero = 16;
constexpr std::size_t kOwner = 24;
constexpr std::size_t kReceive = 28;
constexpr std::size_t kTableSize = kSlotSize * IPC_NADDR;
static_assert(kReceive + IPC_MSG_SIZE == kSlotSize, "slot layout");
static_assert(kTableSize == 587312, "IPC address table size");
static_assert(kSlotSize % 4 == 0 && kOwner % 4 == 0, "atomic fields stay aligned");

constexpr std::uint16_t kTaken = 0xFFFF;
constexpr std::uint32_t kLoopback = 0x7F000001u;

unsigned char* pdata = nullptr;  // the attached table, or null
int ipc_id = -1;
unsigned long ulLinkCount = 0;
T_ipchdr temp_msg_buffer;  // the process's one outgoing block

unsigned char* Slot(std::uint16_t address) { return pdata + kSlotSize * address; }

// The in-use word and the owner are shared with other processes and changed
// with atomic operations (the slot offsets keep them aligned).
std::uint16_t* InUseWord(unsigned char* slot) {
    return reinterpret_cast<std::uint16_t*>(slot + kInUse);
}
std::int32_t* OwnerWord(unsigned char* slot) {
    return reinterpret_cast<std::int32_t*>(slot + kOwner);
}
bool IsTaken(unsigned char* slot) { return __atomic_load_n(InUseWord(slot), __ATOMIC_ACQUIRE) != 0; }
std::int32_t Owner(unsigned char* slot) { return __atomic_load_n(OwnerWord(slot), __ATOMIC_ACQUIRE); }
int Descriptor(unsigned char* slot) { return static_cast<int>(nuvak::LoadLE32(slot + kDescriptor)); }

// This process's id for the owner checks of the send and receive paths,
// which run for every datagram: getpid() is a system call each time. The
// cached value is forgotten in the child of every fork() (pthread_atfork);
// if the handler cannot be registered nothing is cached.
std::atomic<pid_t> g_selfPid{0};
void ForgetSelfPid() { g_selfPid.store(0, std::memory_order_relaxed); }
pid_t SelfPid() {
    static const bool cacheable = pthread_atfork(nullptr, nullptr, &ForgetSelfPid) == 0;
    pid_t pid = g_selfPid.load(std::memory_order_relaxed);
    if (pid != 0) return pid;
    pid = getpid();
    if (cacheable) g_selfPid.store(pid, std::memory_order_relaxed);
    return pid;
}

bool TryTake(unsigned char* slot) {
    std::uint16_t expected = 0;
    if (!__atomic_compare_exchange_n(InUseWord(slot), &expected, kTaken, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE)) {
        return false;
    }
    __atomic_store_n(OwnerWord(slot), static_cast<std::int32_t>(getpid()), __ATOMIC_RELEASE);
    return true;
}

// Takes over a slot whose owner process has gone (killed without freeing).
bool TryTakeStale(unsigned char* slot) {
    std::int32_t owner = Owner(slot);
    if (owner <= 0 || owner == getpid()) return false;
    if (kill(owner, 0) == 0 || errno != ESRCH) return false;
    if (!__atomic_compare_exchange_n(OwnerWord(slot), &owner, static_cast<std::int32_t>(getpid()),
                                     false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        return false;
    }
    nuvak::StoreLE32(slot + kDescriptor, 0);  // the dead owner's descriptor means nothing here
    return true;
}

void WriteFree(unsigned char* slot) {
    nuvak::StoreLE32(slot + kDescriptor, 0);
    nuvak::StoreLE16(slot + kFamily, AF_INET);
    nuvak::StoreLE16(slot + kPort, 0xFFFF);
    nuvak::StoreLE32(slot + kAddr, 0);
    std::memset(slot + kZero, 0, 8);
    __atomic_store_n(OwnerWord(slot), -1, __ATOMIC_RELEASE);
    __atomic_store_n(InUseWord(slot), 0, __ATOMIC_RELEASE);  // last: the slot is free now
}

// Closes the slot's socket if this process owns it, then frees the slot.
void Release(unsigned char* slot) {
    if (Owner(slot) == getpid()) {
        const int fd = Descriptor(slot);
        if (fd > 0) close(fd);
    }
    WriteFree(slot);
}

// Common checks of the calls on one address: 5, 11, 13.
int CheckTaken(std::uint16_t address) {
    if (address >= IPC_NADDR) return IPCERR_RANGE;
    if (pdata == nullptr) return IPCERR_NOTABLE;
    if (!IsTaken(Slot(address))) return IPCERR_NOTTAKEN;
    return 0;
}

}  // namespace

int IPC_init() {
    ++ulLinkCount;
    if (pdata != nullptr) return 0;
    void* address = nullptr;
    int id = -1;
    if (Shm_Link(KEY_IPC, kTableSize, &id, &address) != 0) {
        if (Shm_Create(KEY_IPC, kTableSize, &id, &address) != 0) return 1;
        // Fill the never-used slots (family still 0) with the free values.
        // Slot by slot, so a process that created the table at the same
        // moment loses nothing.
        auto* table = static_cast<unsigned char*>(address);
        for (std::uint16_t a = 0; a < IPC_NADDR; ++a) {
            unsigned char* slot = table + kSlotSize * a;
            if (slot[kFamily] == 0 && slot[kFamily + 1] == 0 && !IsTaken(slot)) WriteFree(slot);
        }
    }
    pdata = static_cast<unsigned char*>(address);
    ipc_id = id;
    return 0;
}

int IPC_close(T_uint_16 address) {
    if (address >= IPC_NADDR) return IPCERR_RANGE;
    if (pdata == nullptr) return IPCERR_NOTABLE;
    IPC_clr(address);
    if (ulLinkCount > 0) --ulLinkCount;
    if (ulLinkCount == 0) {
        Shm_Unlink(pdata);
        pdata = nullptr;
        ipc_id = -1;
    }
    return 0;
}

int IPC_allocaddr(T_uint_16* address) {
    if (address == nullptr) return IPCERR_NOTABLE;
    if (*address != IPC_ANYADDR && *address >= IPC_NADDR) return IPCERR_RANGE;
    if (pdata == nullptr) return IPCERR_NOTABLE;
    if (*address == IPC_ANYADDR) {
        for (std::uint16_t a = IPC_NFIXED; a < IPC_NADDR; ++a) {
            if (TryTake(Slot(a))) {
                *address = a;
                return 0;
            }
        }
        return IPCERR_FULL;  // no slot changed
    }
    unsigned char* slot = Slot(*address);
    if (TryTake(slot) || TryTakeStale(slot)) return 0;
    return IPCERR_TAKEN;
}

int IPC_setaddr(T_uint_16 address, T_uint_16 portOffset) {
    if (int rc = CheckTaken(address)) return rc;
    unsigned char* slot = Slot(address);
    const std::string where = "mailbox " + std::to_string(address) + ", 127.0.0.1:" +
                              std::to_string(IPC_PORT_BASE + portOffset);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        SetSetupError("socket(UDP, for " + where + "): " + SystemReason(errno));
        WriteFree(slot);
        return IPCERR_SOCKET;
    }
    nuvak::StoreLE16(slot + kFamily, AF_INET);
    nuvak::StoreBE16(slot + kPort, static_cast<std::uint16_t>(IPC_PORT_BASE + portOffset));
    nuvak::StoreBE32(slot + kAddr, kLoopback);
    std::memset(slot + kZero, 0, 8);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(IPC_PORT_BASE + portOffset));
    sa.sin_addr.s_addr = htonl(kLoopback);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        SetSetupError("bind(" + where + "): " + SystemReason(errno));
        close(fd);
        WriteFree(slot);
        return IPCERR_BIND;
    }
    // Signal and owner before O_ASYNC, so the first readiness already comes
    // as the framework signal.
    // Tours of many monitors send bursts of monitor messages in one pass.
    WidenReceiveBuffer(fd);
    // Without these the mailbox is deaf: said once, the address kept.
    if (fcntl(fd, F_SETSIG, FrameWorkSignal()) < 0)
        ReportSetupFailure("fcntl(F_SETSIG, " + where + "): " + SystemReason(errno));
    if (fcntl(fd, F_SETOWN, getpid()) < 0)
        ReportSetupFailure("fcntl(F_SETOWN, " + where + "): " + SystemReason(errno));
    if (fcntl(fd, F_SETFL, O_NONBLOCK | O_ASYNC) < 0)
        ReportSetupFailure("fcntl(F_SETFL O_NONBLOCK|O_ASYNC, " + where + "): " + SystemReason(errno));
    nuvak::StoreLE32(slot + kDescriptor, static_cast<std::uint32_t>(fd));
    return 0;
}

int IPC_freeaddr(T_uint_16 address) {
    if (int rc = CheckTaken(address)) return rc;
    unsigned char* slot = Slot(address);
    if (Owner(slot) != getpid()) return IPCERR_NOTOWNER;
    Release(slot);
    return 0;
}

int IPC_clr(T_uint_16 address) {
    if (int rc = CheckTaken(address)) return rc;
    Release(Slot(address));
    return 0;
}

T_ipchdr* IPC_malloc(T_uint_16 address, int size) {
    if (size >= IPC_MSG_SIZE || CheckTaken(address) != 0) return nullptr;
    // A fresh block every time: no field of the previous message leaks
    // into the next.
    std::memset(temp_msg_buffer.bytes, 0, sizeof temp_msg_buffer.bytes);
    return &temp_msg_buffer;
}

int IPC_free(T_ipchdr* /*block*/) { return 0; }

namespace nuvak::fw {

int IPC_rcv_ex(T_uint_16 address, T_ipchdr** block, bool* consumed) {
    *consumed = false;
    if (block == nullptr) return IPCERR_NOTABLE;
    if (int rc = CheckTaken(address)) return rc;
    unsigned char* slot = Slot(address);
    if (Owner(slot) != SelfPid()) return IPCERR_NOTOWNER;  // the descriptor is not ours
    unsigned char datagram[IPC_MSG_SIZE];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    // MSG_TRUNC reports the datagram's real length, so a longer one is seen
    // for what it is and dropped like a shorter one.
    const ssize_t n = recvfrom(Descriptor(slot), datagram, sizeof datagram, MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return IPCERR_NOMSG;
        *consumed = errno == ECONNREFUSED || errno == EINTR;
        return IPCERR_RECV;
    }
    *consumed = true;
    if (n != IPC_MSG_SIZE) return IPCERR_RECV;  // not a message: dropped
    std::memcpy(slot + kReceive, datagram, IPC_MSG_SIZE);
    *block = reinterpret_cast<T_ipchdr*>(slot + kReceive);
    return 0;
}

}  // namespace nuvak::fw

int IPC_rcv(T_uint_16 address, T_ipchdr** block) {
    bool consumed;
    return nuvak::fw::IPC_rcv_ex(address, block, &consumed);
}

int IPC_send(T_uint_16 destination, const T_ipchdr* block) {
    if (block == nullptr) return IPCERR_NOTABLE;
    const T_uint_16 sender = IPC_getsender(block);
    if (destination >= IPC_NADDR || sender >= IPC_NADDR) return IPCERR_RANGE;
    if (int rc = CheckTaken(sender)) return rc;
    unsigned char* slot = Slot(sender);
    if (Owner(slot) != SelfPid()) return IPCERR_NOTOWNER;  // the descriptor is not ours
    const int fd = Descriptor(slot);
    if (fd <= 0) return IPCERR_SEND;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(IPC_PORT_BASE + destination));
    to.sin_addr.s_addr = htonl(kLoopback);
    const ssize_t n = sendto(fd, block->bytes, IPC_MSG_SIZE, 0, reinterpret_cast<sockaddr*>(&to),
                             sizeof to);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return IPCERR_SEND;
    return 0;
}

int IPC_getpid() { return static_cast<int>(getpid()); }

// ---------------------------------------------------------------------------

namespace nuvak::fw {

void IPCMessageImpl::Release() {
    if (handle_ != nullptr) {
        IPC_free(handle_);
        handle_ = nullptr;
    }
}

bool IPCMessageImpl::Send(unsigned short destination) const {
    return handle_ != nullptr && IPC_send(destination, handle_) == 0;
}

IPCImpl::IPCImpl(IWorker& worker, IFrameWorkObserver& observer, unsigned short address,
                 EVENTPRIORITY priority, int& error)
    : address_(address), worker_(&worker), priority_(priority), observer_(&observer) {
    T_uint_16 a = address;
    error = IPC_allocaddr(&a);
    if (error != 0) {
        const char* why = error == IPCERR_TAKEN     ? "taken by another running process"
                          : error == IPCERR_NOTABLE ? "the IPC address table (shared memory key 0x1009) is not attached"
                          : error == IPCERR_FULL    ? "every dynamic address is taken"
                          : error == IPCERR_RANGE   ? "out of range"
                                                    : "refused";
        SetSetupError("IPC_allocaddr(mailbox " + std::to_string(address) + "): " + why);
        return;
    }
    address_ = a;
    error = IPC_setaddr(address_, address_);
    owned_ = error == 0;  // a failed setaddr already freed the slot
}

IPCImpl::~IPCImpl() {
    current_.reset();
    if (owned_) IPC_freeaddr(address_);
}

int IPCImpl::Descriptor() const {
    if (!owned_ || CheckTaken(address_) != 0 || Owner(Slot(address_)) != SelfPid()) return -1;
    const int fd = ::Descriptor(Slot(address_));
    return fd > 0 ? fd : -1;
}

bool IPCImpl::Read() {
    T_ipchdr* block = nullptr;
    const int rc = IPC_rcv_ex(address_, &block, &consumed_);
    if (rc != 0) return false;
    current_ = std::make_unique<IPCMessageImpl>(block);
    worker_->AddEvent(priority_, address_, *observer_, 0, EVENT_IPC);
    return true;
}

}  // namespace nuvak::fw
