// Process side of the task manager contract: attach to the data module, enter
// this process into its slot of the process table, copy the configuration and
// host records out, and answer health checks.
//
// Module state is one per process (not thread-safe; everything runs on the
// framework loop). Every call returns an unsigned 16-bit status (TMGRIF_*).
//
// Health check: the task manager queues, on the framework signal
// (SIGRTMAX - 25), HCHK_REQ_SIG | (requesting process number << 16). The
// answer is HCHK_ACK_SIG | (own process number << 16) | (status & 0xF), queued
// on the same signal to the requester's pid from the process table; for
// process 51 answering PROC_STATE_OK that is 0xEC33EC0E.
#ifndef TMGRIF_H
#define TMGRIF_H

#include "sysdefs.h"
#include "systypes.h"
#include "tmgrdm.h"

// Status codes of the TMGRIF_* calls.
#define TMGRIF_OK 0
#define TMGRIF_ERR_ATTACH 1    // the data module could not be attached (missing or undersized)
#define TMGRIF_ERR_ARG 2       // bad argument (process number, null pointer)
#define TMGRIF_ERR_NOTLINKED 3 // not linked to the data module
#define TMGRIF_ERR_NOREQ 4     // no health request pending, or not a health request
#define TMGRIF_ERR_RANGE 5     // index out of range
#define TMGRIF_ERR_INVPROC 6   // the requesting process is not valid

// Source process number of a health-check value (bits 16..23).
#define GET_SOURCE(value) (((value) >> 16) & 0xFFu)

// Attaches to the data module without taking a process slot. A second call
// while linked does nothing. 1 when the segment is missing or too small.
T_uint_16 TMGRIF_link(void);

// Enters this process into proc[process] (1..144, else 2): id = getpid(),
// state PROC_STATE_UNKNOWN, name = the first 16 characters of `name` (or
// "Process <n>" when null or empty). Attaches first unless linked.
T_uint_16 TMGRIF_register(T_uint_16 process, const char* name);

// When registered: frees the slot (id 0, module_name emptied, state
// PROC_STATE_TERMINATED). In every linked case detaches and clears the module
// state. 3 when not linked. A pending health request is dropped in every case.
T_uint_16 TMGRIF_unregister(void);

// Copies the 368-byte configuration block. 3 when not linked (the caller's
// block is left unchanged), 2 for a null pointer.
T_uint_16 TMGRIF_getsize(T_TMGRIF_cfg* cfg);

// Copies host[index]. 5 when index >= if_count (or beyond the 3 entries the
// module holds), 3 when not linked, 2 for a null pointer.
T_uint_16 TMGRIF_gethost(T_uint_16 index, T_TMGRIF_HostInfo* hostInfo);

// Takes a health request: 4 unless (value & PROC_CHK_TYPE_MASK) == PROC_CHK_BASE;
// otherwise remembers the source process and marks the request pending.
T_uint_16 TMGRIF_checksig(T_uint_32 value);

// Answers the pending health request with `status` (low 4 bits). 3 not
// linked; 4 nothing pending; 6 the source is 0, above process_count, beyond
// the table, its slot is free, or the signal could not be queued to its pid;
// nothing is sent and the request stays pending. On success the pending flag
// is cleared, so a second answer to one request gives 4.
T_uint_16 TMGRIF_respond(T_uint_16 status);

// Diagnostics for tests and tools: the own process number (0 until
// registered) and whether the module is attached.
T_uint_16 TMGRIF_ownprocess(void);
bool TMGRIF_islinked(void);
// Why the last attach of the data module failed: the system's errno, -1 when
// the segment is smaller than the data module; 0 after a successful attach.
int TMGRIF_attacherror(void);

#endif
