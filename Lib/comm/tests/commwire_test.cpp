// Wire format: the worked example byte for byte, the encoder's refusals and
// the decoding rules on malformed headers.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>

#include "commdecoder.h"
#include "commencoder.h"
#include "commheaderutility.h"

namespace {

using U = CommHeaderUtility;

const char kExample[] =
    "OpCode: Client Request\n"
    "Data Length: 3\n"
    "Source Unit ID: 3\n"
    "Session ID: 17\n"
    "Transaction ID: 1\n"
    "Acknowledge Type: Deep\n"
    "Transmission Type: Exactly Once\n"
    "Time Stamp: Sun, 09 Sep 2001 01:46:40 GMT\n"
    "RV640 OK\n"
    "abc";

std::string Header(const std::string& opCode, const std::string& session, const std::string& ack,
                   const std::string& trans, const std::string& unit = "3") {
    return "OpCode: " + opCode + "\nData Length: 1\nSource Unit ID: " + unit + "\nSession ID: " + session +
           "\nTransaction ID: 1\nAcknowledge Type: " + ack + "\nTransmission Type: " + trans +
           "\nTime Stamp: Sun, 09 Sep 2001 01:46:40 GMT\nRV640 OK\n";
}

const std::string kGood = Header("Client Request", "17", "Deep", "Exactly Once") + "x";

unsigned short Validate(const std::string& text, unsigned long ipa = 0x7F000001, unsigned int port = 5010) {
    return CommDecoder(ipa, port, static_cast<unsigned int>(text.size()), text).ValidateErr();
}

TEST(CommWire, WorkedExampleByteForByte) {
    CommSession s(17, ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE);
    CommTransaction t(OPCODE_CLIENT_REQUEST, 1, 3, 0, 0x7F000001, 5110);
    CommEncoder e(&s, &t, 0, "abc", 1000000000L);
    EXPECT_EQ(e.ValidateErr(), 0);
    ASSERT_EQ(e.GetMsgSize(), 198u);
    EXPECT_EQ(e.GetMsg(), std::string(kExample));
    EXPECT_EQ(U::decodeHead(e.GetMsg()).size(), 195u - 9u);

    CommDecoder d(0x7F000001, 5010, 198, e.GetMsg());
    ASSERT_EQ(d.ValidateErr(), 0);
    // Every field decoded: encoded again, the example comes back.
    CommSession ds = d.GetCommSession();
    CommTransaction dt = d.GetCommTransaction();
    EXPECT_EQ(CommEncoder(&ds, &dt, 0, d.GetData(), 1000000000L).GetMsg(), std::string(kExample));
    EXPECT_EQ(dt.RemoteUnitID(), 3);
    EXPECT_EQ(dt.RemoteIPA(), 0x7F000001ul);
    EXPECT_EQ(dt.RemotePort(), 5010);
}

TEST(CommWire, OpCodeLines) {
    EXPECT_EQ(U::encodeOpCode(OPCODE_CLIENT_RETRANSMIT, 2), "OpCode: Client Retransmit Count=2\n");
    EXPECT_EQ(U::encodeOpCode(OPCODE_CLIENT_MAX_RETRY, 3), "OpCode: Client Max Retry Count=3\n");
    EXPECT_EQ(U::encodeOpCode(OPCODE_SERVER_ACKNOWLEDGE, 1), "OpCode: Server Acknowledge TTL=1\n");
    EXPECT_EQ(U::encodeOpCode(OPCODE_SERVER_ACKNOWLEDGE, 0), "OpCode: Server Acknowledge\n");
    // The count belongs only to repeats and acknowledgements.
    EXPECT_EQ(U::encodeOpCode(OPCODE_CLIENT_BROADCAST, 1), "OpCode: Client Broadcast\n");
    EXPECT_EQ(U::encodeOpCode(OPCODE_SERVER_RESPONSE, 1), "OpCode: Server Response\n");
    EXPECT_EQ(U::encodeOpCode(OPCODE_NONE, 0), "OpCode:  \n");
    EXPECT_EQ(U::encodeOpCode(static_cast<OPCODE_TYPE>(7), 4), "OpCode:  \n");
    EXPECT_EQ(U::decodeOpCode("OpCode:  \n"), OPCODE_NONE);
    EXPECT_EQ(U::decodeOpCode("OpCode: Server Acknowledge\n"), OPCODE_SERVER_ACKNOWLEDGE);
    EXPECT_EQ(U::decodeOpCode("OpCode: Client Retransmit\n"), OPCODE_CLIENT_RETRANSMIT);
    EXPECT_EQ(U::decodeOpCode("OpCode: Client Max Retry Count=3\n"), OPCODE_CLIENT_MAX_RETRY);
    // The first text of the fixed order that occurs anywhere in the value wins.
    EXPECT_EQ(U::decodeOpCode("OpCode: xx Server Response Client Request\n"), OPCODE_CLIENT_REQUEST);
    EXPECT_EQ(U::decodeOpCode("OpCode"), OPCODE_NONE);
    EXPECT_EQ(U::encodeAcknowledgeType(ACKNOWLEDGE_NONE), "Acknowledge Type:  \n");
    EXPECT_EQ(U::encodeTransmissionType(static_cast<TRANSMISSION_TYPE>(9)), "Transmission Type:  \n");
}

TEST(CommWire, NumbersAndDates) {
    for (unsigned v = 0; v <= 65535; ++v) {
        std::string fast;
        U::appendNumber(fast, static_cast<unsigned short>(v));
        ASSERT_EQ(fast, std::to_string(v));
        ASSERT_EQ(U::numFormat(static_cast<unsigned short>(v)), fast);
    }
    EXPECT_EQ(U::makeTime(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(U::makeTime(LONG_MAX), "Thu, 01 Jan 1970 00:00:01 GMT");
    EXPECT_EQ(U::makeTime(1000000000L), "Sun, 09 Sep 2001 01:46:40 GMT");  // after the cached second changed
    // Year count above 8099 is clamped to 1900.
    EXPECT_EQ(U::makeTime(253402300800L).substr(12, 4), "1900");
}

TEST(CommWire, EncoderRefusals) {
    CommSession deep(1, ACKNOWLEDGE_DEEP, TRANSMISSION_AT_LEAST_ONCE);
    CommSession shallow(1, ACKNOWLEDGE_SHALLOW, TRANSMISSION_AT_LEAST_ONCE);
    CommTransaction t(OPCODE_SERVER_RESPONSE, 1, 2, 0, 0, 0);
    CommEncoder emptyDeep(&deep, &t, 1, "");
    EXPECT_EQ(emptyDeep.ValidateErr(), 0xFFFF);
    EXPECT_EQ(emptyDeep.GetMsgSize(), 0u);
    CommEncoder emptyShallow(&shallow, &t, 1, "");
    EXPECT_EQ(emptyShallow.ValidateErr(), 0);
    EXPECT_EQ(Validate(emptyShallow.GetMsg()), 0);

    // 15499 bytes pass, 15500 are refused by both ends; the long message is
    // still built.
    const std::size_t head = CommEncoder(&deep, &t, 0, std::string(15000, 'x')).GetMsgSize() - 15000;
    const std::string fits(15499 - head, 'x');
    CommEncoder ok(&deep, &t, 0, fits);
    ASSERT_EQ(ok.GetMsgSize(), 15499u);
    EXPECT_EQ(ok.ValidateErr(), 0);
    EXPECT_EQ(Validate(ok.GetMsg()), 0);
    CommEncoder tooLong(&deep, &t, 0, fits + "y");
    EXPECT_EQ(tooLong.GetMsgSize(), 15500u);
    EXPECT_EQ(tooLong.ValidateErr(), 0xFFFF);
    EXPECT_EQ(Validate(tooLong.GetMsg()), 0xFFFF);
    // Data Length is taken modulo 65536.
    CommEncoder huge(&deep, &t, 0, std::string(65537, 'z'));
    EXPECT_NE(huge.GetMsg().find("Data Length: 1\n"), std::string::npos);
}

TEST(CommWire, DecodingRules) {
    EXPECT_EQ(Validate(kGood), 0);
    // Numbers as atol reads them, modulo 65536; absurd values saturate.
    const std::pair<std::string, unsigned short> ids[] = {
        {": 65537\n", 1}, {": abc\n", 0}, {":   42xyz\n", 42}, {": -1\n", 65535}, {"", 0}, {":", 0},
        {": 99999999999999999999999999\n", 65535}, {": -99999999999999999999999999\n", 0}};
    for (const auto& [text, id] : ids) EXPECT_EQ(U::decodeSessionID("Session ID" + text), id) << text;
    EXPECT_EQ(Validate(Header("Client Request", "65537", "Deep", "Exactly Once") + "x"), 0);
    EXPECT_EQ(Validate(Header("Client Request", "abc", "Deep", "Exactly Once") + "x"), 0xFFFF);
    EXPECT_EQ(Validate(Header("Client Request", "65536", "Deep", "Exactly Once") + "x"), 0xFFFF);
    // Types are compared whole and case-sensitively.
    EXPECT_EQ(U::decodeAcknowledgeType("Acknowledge Type: deep\n"), ACKNOWLEDGE_NONE);
    EXPECT_EQ(U::decodeTransmissionType("Transmission Type: Exactly Once \n"), TRANSMISSION_NONE);
    EXPECT_EQ(Validate(Header("Client Request", "5", "deep", "Exactly Once") + "x"), 0xFFFF);
    EXPECT_EQ(Validate(Header("Client Request", "5", "Deep", "Twice") + "x"), 0xFFFF);
    EXPECT_EQ(Validate(Header("Nothing", "5", "Deep", "Exactly Once") + "x"), 0xFFFF);
    EXPECT_EQ(Validate(Header("Client Request", "5", "Deep", "Exactly Once", "0") + "x"), 0xFFFF);
    // Source address and port must be known.
    EXPECT_EQ(Validate(kGood, 0, 5010), 0xFFFF);
    EXPECT_EQ(Validate(kGood, 0x7F000001, 0), 0xFFFF);
    // Deep needs a payload; Shallow does not.
    EXPECT_EQ(Validate(Header("Client Request", "5", "Deep", "Exactly Once")), 0xFFFF);
    EXPECT_EQ(Validate(Header("Client Request", "5", "Shallow", "Exactly Once")), 0);
}

TEST(CommWire, StatusLineAndLength) {
    std::string text = Header("Client Request", "5", "Shallow", "At Least Once");
    text.pop_back();  // ends exactly after "RV640 OK"
    EXPECT_EQ(U::decodeData(text), "");
    EXPECT_EQ(U::decodeHead(text).size(), text.size() - 8);
    EXPECT_EQ(U::decodeData("RV640 OK\nabc RV640 OK\ndef"), "abc RV640 OK\ndef");
    // No status line: empty head and payload, so Deep fails and Shallow passes.
    const std::string noStatus = "OpCode: Client Request\nSource Unit ID: 3\nSession ID: 4\n"
                                 "Acknowledge Type: Deep\nTransmission Type: At Most Once\npayload";
    EXPECT_EQ(U::decodeHead(noStatus), "");
    EXPECT_EQ(U::decodeData(noStatus), "");
    EXPECT_EQ(Validate(noStatus), 0xFFFF);
    // The byte count reported by the socket must match the text.
    CommDecoder d(0x7F000001, 5010, static_cast<unsigned int>(kGood.size() + 1), kGood);
    EXPECT_EQ(d.ValidateErr(), 0xFFFF);
    EXPECT_EQ(d.GetCommSession().SessionID(), 0);
    EXPECT_EQ(d.GetCommTransaction().RemoteIPA(), 0ul);
    // Garbage, including NUL bytes and a truncated field name at the end.
    const std::string garbage("\0\xff\n: RV640 OK\nSession ID", 25);
    EXPECT_EQ(Validate(garbage), 0xFFFF);
    EXPECT_EQ(Validate(""), 0xFFFF);
}

}  // namespace
