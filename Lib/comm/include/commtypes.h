// Header enumerations of the comm protocol. Each is held as a 32-bit integer;
// 0 means absent or unrecognised and is what the decoders return for a field
// that is missing or malformed.
#ifndef COMMTYPES_H
#define COMMTYPES_H

enum OPCODE_TYPE : int {
    OPCODE_NONE = 0,
    OPCODE_CLIENT_REQUEST = 1,     // "Client Request": first transmission
    OPCODE_CLIENT_RETRANSMIT = 2,  // "Client Retransmit": a repeat that is not the last
    OPCODE_CLIENT_MAX_RETRY = 3,   // "Client Max Retry": the last repeat
    OPCODE_CLIENT_BROADCAST = 4,   // "Client Broadcast"
    OPCODE_SERVER_RESPONSE = 5,    // "Server Response": at-most-once / at-least-once answer
    OPCODE_SERVER_ACKNOWLEDGE = 6  // "Server Acknowledge": exactly-once answer
};

enum TRANSMISSION_TYPE : int {
    TRANSMISSION_NONE = 0,
    TRANSMISSION_AT_MOST_ONCE = 1,
    TRANSMISSION_AT_LEAST_ONCE = 2,
    TRANSMISSION_EXACTLY_ONCE = 3
};

enum ACKNOWLEDGE_TYPE : int {
    ACKNOWLEDGE_NONE = 0,
    ACKNOWLEDGE_DEEP = 1,     // the answer carries the server user's reply
    ACKNOWLEDGE_SHALLOW = 2   // the server answers at once with an empty payload
};

// Largest datagram (header and payload) the protocol sends or accepts.
constexpr unsigned int COMM_MAX_DATAGRAM = 15499;

// Exactly once. The server keeps its answer to an exactly-once request for
// COMM_EXACTLY_ONCE_HOLD_MS after the latest copy of that request arrived;
// a copy that arrives later is acted on again. A requester's copies go out
// maxRetry periods apart, each period in 100 ms ticks and up to one tick
// late, and copies between the first and the last may be lost, so the whole
// span of the copies, with COMM_EXACTLY_ONCE_MARGIN_MS for delays on the
// way, must lie within the hold:
//   maxRetry x (period rounded down to 100 ms, at least 100, + 100) + 1000 <= 4300
// The client refuses an exactly-once request whose schedule does not fit
// (3 repeats: at most 1000 ms apart; 1 repeat: 3200 ms; no repeat: any).
constexpr unsigned long COMM_EXACTLY_ONCE_HOLD_MS = 3 * (1000 + 100) + 1000;
constexpr unsigned long COMM_EXACTLY_ONCE_MARGIN_MS = 1000;
constexpr unsigned long COMM_RETRY_TICK_MS = 100;

// Worst-case time from a request's first copy to its last, in ms.
constexpr unsigned long long CommRetrySpanMs(unsigned short maxRetry, unsigned long retryPeriod) {
    const unsigned long long ticks = retryPeriod > COMM_RETRY_TICK_MS ? retryPeriod / COMM_RETRY_TICK_MS : 1;
    return static_cast<unsigned long long>(maxRetry) * ((ticks > 65535 ? 65535 : ticks) + 1) * COMM_RETRY_TICK_MS;
}
// True when every copy of an exactly-once request sent with this schedule
// arrives while the server still holds its answer.
constexpr bool CommExactlyOnceFits(unsigned short maxRetry, unsigned long retryPeriod) {
    return CommRetrySpanMs(maxRetry, retryPeriod) + COMM_EXACTLY_ONCE_MARGIN_MS <= COMM_EXACTLY_ONCE_HOLD_MS;
}
// The longest retry period, in whole 100 ms, that fits with maxRetry repeats
// (0: none does; with no repeat any period fits: ULONG_MAX).
constexpr unsigned long CommExactlyOnceMaxPeriod(unsigned short maxRetry) {
    if (maxRetry == 0) return ~0ul;
    const unsigned long long budget = COMM_EXACTLY_ONCE_HOLD_MS - COMM_EXACTLY_ONCE_MARGIN_MS;
    const unsigned long long ticks = budget / maxRetry / COMM_RETRY_TICK_MS;  // per period, the late tick included
    return ticks < 2 ? 0 : static_cast<unsigned long>((ticks - 1) * COMM_RETRY_TICK_MS);
}
static_assert(CommExactlyOnceFits(3, 1000) && !CommExactlyOnceFits(3, 1100) && CommExactlyOnceMaxPeriod(3) == 1000,
              "the service's own schedule, 3 repeats 1000 ms apart, is the longest that fits");

// Results of the comm layer: 16-bit booleans.
constexpr unsigned short COMM_TRUE = 0xFFFF;
constexpr unsigned short COMM_FALSE = 0x0000;

#endif
