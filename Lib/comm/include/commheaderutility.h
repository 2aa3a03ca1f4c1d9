// Text header of a comm datagram: one line per field, in a fixed order, each
// ended by a single line feed, then the status line "RV640 OK", then the
// payload (no terminator):
//
//   #  LINE                                   VALUE
//   1  "OpCode: " text [" Count=n"|" TTL=n"]  op-code; a single space when unknown
//   2  "Data Length: " n                      payload bytes modulo 65536
//   3  "Source Unit ID: " n                   sending unit
//   4  "Session ID: " n
//   5  "Transaction ID: " n
//   6  "Acknowledge Type: " text              "Deep" / "Shallow" / " "
//   7  "Transmission Type: " text             "At Most Once" / "At Least Once" / "Exactly Once" / " "
//   8  "Time Stamp: " date                    "Sun, 09 Sep 2001 01:46:40 GMT" (UTC)
//   9  "RV640 OK"
//   -  payload
//
// The decoders take the whole received text, look a field up by the first
// occurrence of its name anywhere in it, and never read beyond its end: a
// missing or malformed field decodes as 0.
#ifndef COMMHEADERUTILITY_H
#define COMMHEADERUTILITY_H

#include <string>

#include "commtypes.h"

class CommHeaderUtility {
public:
    static std::string encodeOpCode(OPCODE_TYPE opCode, unsigned short count);
    static std::string encodeDataLength(unsigned short length);
    static std::string encodeSourceUnitID(unsigned short id);
    static std::string encodeSessionID(unsigned short id);
    static std::string encodeTransactionID(unsigned short id);
    static std::string encodeAcknowledgeType(ACKNOWLEDGE_TYPE ack);
    static std::string encodeTransmissionType(TRANSMISSION_TYPE trans);
    static std::string encodeTimeStamp(long unixTime);
    static std::string encodeOK();

    // Everything before the first "RV640 OK"; "" when there is none.
    static std::string decodeHead(const std::string& text);
    // Everything from 9 characters after the first "RV640 OK" to the end; ""
    // when there is none or nothing follows the status line.
    static std::string decodeData(const std::string& text);

    static OPCODE_TYPE decodeOpCode(const std::string& text);
    static ACKNOWLEDGE_TYPE decodeAcknowledgeType(const std::string& text);
    static TRANSMISSION_TYPE decodeTransmissionType(const std::string& text);
    static unsigned short decodeDataLength(const std::string& text);
    static unsigned short decodeSourceUnitID(const std::string& text);
    static unsigned short decodeSessionID(const std::string& text);
    static unsigned short decodeTransactionID(const std::string& text);

    static std::string numFormat(unsigned short value);
    static unsigned short digitCount(unsigned short value);  // 1..5
    static std::string makeTime(long unixTime);

    // Appends a number as numFormat writes it (no allocation).
    static void appendNumber(std::string& out, unsigned short value);

    // Texts of the fields and the status line, shared with the decoder.
    static constexpr const char* kStatusLine = "RV640 OK";
    static constexpr std::size_t kStatusSkip = 9;  // status text and its line feed

private:
};

#endif
