// The text pieces elements write themselves with.
#include <cstdio>

#include "message.h"

namespace {
constexpr unsigned kTabWidth = 5;  // spaces per indentation unit

// The indentation of depth and `name="`; the caller appends the value and closes it.
std::string OpenAttribute(const std::string& name, unsigned short depth) {
    std::string s = SerializeUtility::allowTabOf(depth);
    s += name;
    s += "=\"";
    return s;
}
}  // namespace

void SerializeUtility::appendTabOf(std::string& out, unsigned short depth) {
    if (depth == 0) return;
    out += '\n';
    out.append(static_cast<std::size_t>(depth) * kTabWidth, ' ');
}

std::string SerializeUtility::allowTabOf(unsigned short depth) {
    std::string s;
    appendTabOf(s, depth);
    return s;
}

std::string SerializeUtility::XMLDeclaration(const std::string& extra) {
    std::string s;
    s += '<';
    s += '?';
    s += "xml version=\"1.0\"";
    s += ' ';
    s += extra;
    s += ' ';
    s += "standalone=\"yes\"";
    s += ' ';
    s += '?';
    s += '>';
    s += '\n';
    return s;
}

std::string SerializeUtility::XMLStartElementTag(const std::string& name, unsigned short depth) {
    std::string s = allowTabOf(depth);
    s += '<';
    s += name;
    s += ' ';
    return s;
}

std::string SerializeUtility::XMLAttribString(const std::string& name, const std::string& value,
                                              unsigned short depth) {
    std::string s = OpenAttribute(name, depth);
    appendEscaped(s, value);
    s += "\" ";
    return s;
}

std::string SerializeUtility::XMLAttribInteger(const std::string& name, T_uint_32 value,
                                               unsigned short depth) {
    std::string s = OpenAttribute(name, depth);
    appendNum(s, value);
    s += "\" ";
    return s;
}

std::string SerializeUtility::XMLAttribEndpoint(const std::string& name, unsigned short a,
                                                unsigned short b, unsigned short c, T_uint_32 d,
                                                unsigned short depth) {
    char value[48];
    std::snprintf(value, sizeof value, "%d-%d-%d-%ld", static_cast<int>(a), static_cast<int>(b),
                  static_cast<int>(c), static_cast<long>(d));
    std::string s = OpenAttribute(name, depth);
    s += value;
    s += "\" ";
    return s;
}

std::string SerializeUtility::XMLEndElementTag(const std::string& name, unsigned short depth) {
    if (name == "/") return "/>";
    if (name.empty()) return ">";
    std::string s = depth == 0 ? std::string("\n") : allowTabOf(depth);
    s += "</";
    s += name;
    s += '>';
    return s;
}

unsigned short SerializeUtility::digitCount(T_uint_32 value) {
    static constexpr T_uint_32 kBounds[] = {9u,      99u,      999u,      9999u,      99999u,
                                            999999u, 9999999u, 99999999u, 999999999u};
    unsigned short n = 1;
    for (T_uint_32 bound : kBounds) {
        if (value <= bound) return n;
        ++n;
    }
    return n;  // 10
}

void SerializeUtility::appendNum(std::string& out, T_uint_32 value) {
    char digits[10];
    unsigned short n = digitCount(value);
    for (unsigned short i = n; i > 0; --i) {
        digits[i - 1] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(digits, n);
}

std::string SerializeUtility::numFormat(T_uint_32 value) {
    std::string s;
    appendNum(s, value);
    return s;
}

// One pass. It writes what replacing & first and then < > ' " one after the
// other would write, because none of the inserted entities contains any of
// the five characters except the leading ampersand, which the first step
// has already dealt with.
void SerializeUtility::appendEscaped(std::string& out, const std::string& text) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char* entity;
        switch (text[i]) {
            case '&': entity = "&amp;"; break;
            case '<': entity = "&lt;"; break;
            case '>': entity = "&gt;"; break;
            case '\'': entity = "&apos;"; break;
            case '"': entity = "&quot;"; break;
            default: continue;
        }
        out.append(text, start, i - start);
        out += entity;
        start = i + 1;
    }
    out.append(text, start, std::string::npos);
}

std::string SerializeUtility::stringFormat(const std::string& text) {
    std::string s;
    s.reserve(text.size());
    appendEscaped(s, text);
    return s;
}
