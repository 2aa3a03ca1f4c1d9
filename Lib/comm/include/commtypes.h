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

// Results of the comm layer: 16-bit booleans.
constexpr unsigned short COMM_TRUE = 0xFFFF;
constexpr unsigned short COMM_FALSE = 0x0000;

#endif
