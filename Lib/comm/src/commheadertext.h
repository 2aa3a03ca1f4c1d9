// Appending forms of the header lines of CommHeaderUtility, for the encoder:
// the same bytes, written straight into the datagram being built instead of
// through a temporary string per line. CommHeaderUtility's own encode*
// functions are made of these, so both always write the same text.
#ifndef COMMHEADERTEXT_H
#define COMMHEADERTEXT_H

#include <string>

#include "commtypes.h"

namespace nuvak::comm {

// "OpCode: <name>[ Count=n| TTL=n]\n"
void AppendOpCodeLine(std::string& out, OPCODE_TYPE opCode, unsigned short count);
// "Acknowledge Type: <name>\n"
void AppendAcknowledgeLine(std::string& out, ACKNOWLEDGE_TYPE ack);
// "Transmission Type: <name>\n"
void AppendTransmissionLine(std::string& out, TRANSMISSION_TYPE trans);
// The time stamp text of makeTime (converted once per second, per thread).
void AppendTime(std::string& out, long unixTime);

}  // namespace nuvak::comm

#endif
