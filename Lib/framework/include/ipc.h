// Inter-process messages: 256-byte blocks addressed by a small number, the
// IPC address. A System V segment (key KEY_IPC) records which addresses are
// taken and by whom; the messages travel as 256-byte UDP datagrams on
// loopback to port 12000 + the destination address.
//
// The table outlives every process: the first process that needs it creates
// it, nobody removes it. Each process writes only the slots it takes or owns.
//
// These plain functions are what IIPC and IPCMessage (framework.h) sit on;
// clients normally use those objects and not the functions.
#ifndef IPC_H
#define IPC_H

#include <cstddef>

#include "systypes.h"

#define KEY_IPC 0x1009
#define IPC_MSG_SIZE 256      // every message block and datagram
#define IPC_NADDR 2068        // addresses 0..2067
#define IPC_NFIXED 20         // 0..19 are taken by number; 20..2067 handed out
#define IPC_ANYADDR 0xFFFF    // IPC_allocaddr: take the lowest free dynamic address
#define IPC_PORT_BASE 12000   // UDP port of address n is 12000 + n

// Return codes of the IPC_* functions (0 = success).
#define IPCERR_RANGE 5        // address out of range
#define IPCERR_TAKEN 9        // the fixed address asked for is taken
#define IPCERR_NOTABLE 11     // table not attached, or a null out-argument
#define IPCERR_NOTTAKEN 13    // address not taken
#define IPCERR_SOCKET 14      // socket() failed
#define IPCERR_BIND 15        // bind() failed
#define IPCERR_NOTOWNER 17    // the caller is not the address's owner
#define IPCERR_RECV 18        // receive failed
#define IPCERR_NOMSG 19       // nothing to receive
#define IPCERR_SEND 20        // send failed
#define IPCERR_FULL 21        // every dynamic address is taken

// Message block header. The block is always IPC_MSG_SIZE bytes; the first
// field is the sender's IPC address (little-endian), which IPC_send reads
// to choose the sending socket. The rest belongs to the messages' users.
//   OFFSET SIZE FIELD
//        0    2 sender IPC address
//        2  254 user data
// Read and write the bytes with IPC_block() and explicit little-endian
// stores; the struct only names the block.
struct T_ipchdr {
    unsigned char bytes[IPC_MSG_SIZE];
};
static_assert(sizeof(T_ipchdr) == IPC_MSG_SIZE, "an IPC block is 256 bytes");

inline unsigned char* IPC_block(T_ipchdr* hdr) { return hdr->bytes; }
inline const unsigned char* IPC_block(const T_ipchdr* hdr) { return hdr->bytes; }
inline T_uint_16 IPC_getsender(const T_ipchdr* hdr) {
    return static_cast<T_uint_16>(hdr->bytes[0] | (hdr->bytes[1] << 8));
}
inline void IPC_setsender(T_ipchdr* hdr, T_uint_16 address) {
    hdr->bytes[0] = static_cast<unsigned char>(address & 0xFF);
    hdr->bytes[1] = static_cast<unsigned char>(address >> 8);
}

// Attaches (or creates) the table; 0, or 1 when neither worked.
// Only the first call of the process attaches; later calls count links.
int IPC_init();
// Releases `address` without an owner test and drops one link; the last
// link detaches the table.
int IPC_close(T_uint_16 address);
// Takes a fixed address (0..19 or any 20..2067 by number) or, with
// IPC_ANYADDR, the lowest free dynamic one; the address is stored back.
// A taken fixed address gives 9 unless its owner process no longer exists
// (a stale slot left by a killed process is taken over).
int IPC_allocaddr(T_uint_16* address);
// Opens and binds the address's socket (127.0.0.1, port 12000 + portOffset),
// signal-driven with the framework signal.
int IPC_setaddr(T_uint_16 address, T_uint_16 portOffset);
// Closes the socket and frees the slot; only its owner may.
int IPC_freeaddr(T_uint_16 address);
// As IPC_freeaddr without the owner test.
int IPC_clr(T_uint_16 address);
// The process's one outgoing block for sender `address` (size < 256), or
// null. One block per process: fill and send before the next.
T_ipchdr* IPC_malloc(T_uint_16 address, int size);
int IPC_free(T_ipchdr* block);
// Receives one message into the slot's receive area; 19 when none waits.
// Datagrams that are not exactly 256 bytes are dropped (18).
int IPC_rcv(T_uint_16 address, T_ipchdr** block);
// Sends the 256-byte block from its sender's socket to `destination`.
int IPC_send(T_uint_16 destination, const T_ipchdr* block);
int IPC_getpid();

#endif
