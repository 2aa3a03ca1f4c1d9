#include "commheaderutility.h"

#include "commheadertext.h"

#include <charconv>
#include <climits>
#include <cstdio>
#include <ctime>
#include <string_view>

namespace {

const char* const kOpCodeText[] = {nullptr,           "Client Request",  "Client Retransmit",
                                   "Client Max Retry", "Client Broadcast", "Server Response",
                                   "Server Acknowledge"};
const char* const kAckText[] = {nullptr, "Deep", "Shallow"};
const char* const kTransText[] = {nullptr, "At Most Once", "At Least Once", "Exactly Once"};

std::string Line(const char* name, const std::string& value) {
    std::string s(name);
    s += ": ";
    s += value;
    s += '\n';
    return s;
}

// The value of a field: after the first occurrence of its name and two more
// characters (colon and space, not checked), up to the next line feed or the
// end of the text. found is false when the name does not occur at all. The
// view points into `text`.
std::string_view FieldValue(const std::string& text, std::string_view name, bool& found) {
    const std::size_t pos = text.find(name.data(), 0, name.size());
    found = pos != std::string::npos;
    if (!found) return std::string_view();
    const std::size_t start = pos + name.size() + 2;
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    if (start >= end) return std::string_view();
    return std::string_view(text).substr(start, end - start);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads a number as atol does (leading blanks, optional sign, digits; anything
// else stops it; saturating like strtol on overflow) and reduces it modulo
// 65536. Works on the bounded value, never past its end.
unsigned short ReadNumber(std::string_view value) {
    std::size_t i = 0;
    while (i < value.size() && IsBlank(value[i])) ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
        negative = value[i] == '-';
        ++i;
    }
    long n = 0;
    bool saturated = false;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        const long digit = value[i] - '0';
        if (!saturated && n > (LONG_MAX - digit) / 10) saturated = true;
        if (!saturated) n = n * 10 + digit;
    }
    long result;
    if (saturated)
        result = negative ? LONG_MIN : LONG_MAX;
    else
        result = negative ? -n : n;
    return static_cast<unsigned short>(static_cast<unsigned long>(result) & 0xFFFFu);
}

unsigned short DecodeNumberField(const std::string& text, std::string_view name) {
    bool found = false;
    const std::string_view value = FieldValue(text, name, found);
    return found ? ReadNumber(value) : 0;
}

}  // namespace

std::string CommHeaderUtility::numFormat(unsigned short value) {
    const unsigned short n = digitCount(value);
    std::string s;
    s.reserve(n);
    unsigned int rest = value;
    for (unsigned short i = 0; i < n; ++i) {
        unsigned int power = 1;
        for (unsigned short k = 1; k < n - i; ++k) power *= 10;
        const unsigned int digit = rest / power;
        s += static_cast<char>('0' + digit);
        rest -= digit * power;
    }
    return s;
}

unsigned short CommHeaderUtility::digitCount(unsigned short value) {
    if (value <= 9) return 1;
    if (value <= 99) return 2;
    if (value <= 999) return 3;
    if (value <= 9999) return 4;
    return 5;
}

namespace {
std::string FormatTime(long unixTime) {
    static const char* const kDay[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonth[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t t = static_cast<time_t>(unixTime);
    struct tm tmv;
    if (gmtime_r(&t, &tmv) == nullptr) return "Thu, 01 Jan 1970 00:00:01 GMT";
    // Clamp every field so that the text stays in its fixed shape.
    if (tmv.tm_wday > 6 || tmv.tm_wday < 0) tmv.tm_wday = 0;
    if (tmv.tm_mday > 31 || tmv.tm_mday < 1) tmv.tm_mday = 1;
    if (tmv.tm_mon > 11 || tmv.tm_mon < 0) tmv.tm_mon = 0;
    if (tmv.tm_year > 8099) tmv.tm_year = 0;
    if (tmv.tm_hour > 23 || tmv.tm_hour < 0) tmv.tm_hour = 0;
    if (tmv.tm_min > 59 || tmv.tm_min < 0) tmv.tm_min = 0;
    if (tmv.tm_sec > 59 || tmv.tm_sec < 0) tmv.tm_sec = 0;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %4d %02d:%02d:%02d GMT", kDay[tmv.tm_wday], tmv.tm_mday,
                  kMonth[tmv.tm_mon], tmv.tm_year + 1900, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    return buf;
}

// The text of the latest second converted on this thread: every datagram of
// one second carries the same text, so gmtime_r and the formatting run once.
struct TimeText {
    long time = 0;
    std::string text;
};
TimeText& CachedTime(long unixTime) {
    thread_local TimeText cache;
    if (cache.text.empty() || cache.time != unixTime) {
        cache.text = FormatTime(unixTime);
        cache.time = unixTime;
    }
    return cache;
}
}  // namespace

std::string CommHeaderUtility::makeTime(long unixTime) { return CachedTime(unixTime).text; }

std::string CommHeaderUtility::encodeOpCode(OPCODE_TYPE opCode, unsigned short count) {
    std::string s;
    nuvak::comm::AppendOpCodeLine(s, opCode, count);
    return s;
}

std::string CommHeaderUtility::encodeDataLength(unsigned short length) {
    return Line("Data Length", numFormat(length));
}
std::string CommHeaderUtility::encodeSourceUnitID(unsigned short id) {
    return Line("Source Unit ID", numFormat(id));
}
std::string CommHeaderUtility::encodeSessionID(unsigned short id) { return Line("Session ID", numFormat(id)); }
std::string CommHeaderUtility::encodeTransactionID(unsigned short id) {
    return Line("Transaction ID", numFormat(id));
}

std::string CommHeaderUtility::encodeAcknowledgeType(ACKNOWLEDGE_TYPE ack) {
    std::string s;
    nuvak::comm::AppendAcknowledgeLine(s, ack);
    return s;
}

std::string CommHeaderUtility::encodeTransmissionType(TRANSMISSION_TYPE trans) {
    std::string s;
    nuvak::comm::AppendTransmissionLine(s, trans);
    return s;
}

std::string CommHeaderUtility::encodeTimeStamp(long unixTime) { return Line("Time Stamp", makeTime(unixTime)); }

std::string CommHeaderUtility::encodeOK() { return std::string(kStatusLine) + '\n'; }

std::string CommHeaderUtility::decodeHead(const std::string& text) {
    const std::size_t pos = text.find(kStatusLine);
    if (pos == std::string::npos) return std::string();
    return text.substr(0, pos);
}

std::string CommHeaderUtility::decodeData(const std::string& text) {
    const std::size_t pos = text.find(kStatusLine);
    if (pos == std::string::npos) return std::string();
    const std::size_t start = pos + kStatusSkip;
    if (start >= text.size()) return std::string();
    return text.substr(start);
}

OPCODE_TYPE CommHeaderUtility::decodeOpCode(const std::string& text) {
    bool found = false;
    const std::string_view value = FieldValue(text, "OpCode", found);
    if (!found) return OPCODE_NONE;
    for (int op = OPCODE_CLIENT_REQUEST; op <= OPCODE_SERVER_ACKNOWLEDGE; ++op)
        if (value.find(kOpCodeText[op]) != std::string_view::npos) return static_cast<OPCODE_TYPE>(op);
    return OPCODE_NONE;
}

ACKNOWLEDGE_TYPE CommHeaderUtility::decodeAcknowledgeType(const std::string& text) {
    bool found = false;
    const std::string_view value = FieldValue(text, "Acknowledge Type", found);
    if (found)
        for (int a = ACKNOWLEDGE_DEEP; a <= ACKNOWLEDGE_SHALLOW; ++a)
            if (value == kAckText[a]) return static_cast<ACKNOWLEDGE_TYPE>(a);
    return ACKNOWLEDGE_NONE;
}

TRANSMISSION_TYPE CommHeaderUtility::decodeTransmissionType(const std::string& text) {
    bool found = false;
    const std::string_view value = FieldValue(text, "Transmission Type", found);
    if (found)
        for (int t = TRANSMISSION_AT_MOST_ONCE; t <= TRANSMISSION_EXACTLY_ONCE; ++t)
            if (value == kTransText[t]) return static_cast<TRANSMISSION_TYPE>(t);
    return TRANSMISSION_NONE;
}

unsigned short CommHeaderUtility::decodeDataLength(const std::string& text) {
    return DecodeNumberField(text, "Data Length");
}
unsigned short CommHeaderUtility::decodeSourceUnitID(const std::string& text) {
    return DecodeNumberField(text, "Source Unit ID");
}
unsigned short CommHeaderUtility::decodeSessionID(const std::string& text) {
    return DecodeNumberField(text, "Session ID");
}
unsigned short CommHeaderUtility::decodeTransactionID(const std::string& text) {
    return DecodeNumberField(text, "Transaction ID");
}

void CommHeaderUtility::appendNumber(std::string& out, unsigned short value) {
    char buf[8];
    const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<unsigned int>(value));
    out.append(buf, r.ptr);
}

namespace nuvak::comm {

void AppendOpCodeLine(std::string& out, OPCODE_TYPE opCode, unsigned short count) {
    out += "OpCode: ";
    if (opCode < OPCODE_CLIENT_REQUEST || opCode > OPCODE_SERVER_ACKNOWLEDGE) {
        out += " \n";
        return;
    }
    out += kOpCodeText[opCode];
    if (count != 0) {
        if (opCode == OPCODE_CLIENT_RETRANSMIT || opCode == OPCODE_CLIENT_MAX_RETRY) {
            out += " Count=";
            CommHeaderUtility::appendNumber(out, count);
        } else if (opCode == OPCODE_SERVER_ACKNOWLEDGE) {
            out += " TTL=";
            CommHeaderUtility::appendNumber(out, count);
        }
    }
    out += '\n';
}

void AppendAcknowledgeLine(std::string& out, ACKNOWLEDGE_TYPE ack) {
    const bool known = ack == ACKNOWLEDGE_DEEP || ack == ACKNOWLEDGE_SHALLOW;
    out += "Acknowledge Type: ";
    out += known ? kAckText[ack] : " ";
    out += '\n';
}

void AppendTransmissionLine(std::string& out, TRANSMISSION_TYPE trans) {
    const bool known = trans >= TRANSMISSION_AT_MOST_ONCE && trans <= TRANSMISSION_EXACTLY_ONCE;
    out += "Transmission Type: ";
    out += known ? kTransText[trans] : " ";
    out += '\n';
}

void AppendTime(std::string& out, long unixTime) { out += CachedTime(unixTime).text; }

}  // namespace nuvak::comm
