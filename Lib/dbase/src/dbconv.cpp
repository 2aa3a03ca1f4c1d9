// Conversions: character and numeric field text, packed-decimal index keys,
// file names.
//
// Numeric key (N and F tags), 12 bytes:
//   OFFSET SIZE FIELD
//        0    1 exponent: 0x34 + integer digits, or 0x35 - position of the
//               first non-zero fraction digit for numbers below 1; 0x34 zero
//        1    1 digit count and flags: bit 0x80 negative; the count itself
//               varies between writers and is never compared
//        2   10 up to 20 decimal digits from the first non-zero digit, two
//               per byte, high nibble first, zero-filled
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dbase_internal.h"

using namespace nuvak::dbase;

namespace {
namespace numkey {
constexpr std::size_t kExponent = 0, kCount = 1, kDigits = 2, kDigitBytes = 10;
constexpr unsigned char kZeroExponent = 0x34, kNegative = 0x80;
constexpr int kMaxDigits = 20;
}  // namespace numkey
static_assert(numkey::kDigits + numkey::kDigitBytes == DB_NUMKEY_LEN, "numeric key is 12 bytes");

bool IsZeroKey(const unsigned char* k) {
    for (std::size_t i = 0; i < numkey::kDigitBytes; ++i)
        if (k[numkey::kDigits + i] != 0) return false;
    return true;
}

// Magnitude order of two non-zero keys: exponent first, then the digits.
int CompareMagnitude(const unsigned char* a, const unsigned char* b) {
    if (a[numkey::kExponent] != b[numkey::kExponent])
        return a[numkey::kExponent] < b[numkey::kExponent] ? -1 : 1;
    int c = std::memcmp(a + numkey::kDigits, b + numkey::kDigits, numkey::kDigitBytes);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

namespace nuvak {
namespace dbase {

int CompareNumKeys(const unsigned char* a, const unsigned char* b) {
    // Zero is recognised by its digits, whatever count byte the writer chose.
    bool za = IsZeroKey(a), zb = IsZeroKey(b);
    bool na = !za && (a[numkey::kCount] & numkey::kNegative);
    bool nb = !zb && (b[numkey::kCount] & numkey::kNegative);
    if (na != nb) return na ? -1 : 1;
    if (za || zb) {
        if (za && zb) return 0;
        // Both non-negative here; the zero is lower. (Both negative cannot
        // include a zero.)
        return za ? -1 : 1;
    }
    int c = CompareMagnitude(a, b);
    return na ? -c : c;
}

}  // namespace dbase
}  // namespace nuvak

int dUatocf(const char* text, int width, char* out) {
    if (!text || !out || width < 0) return DBRET_RANGE;
    std::size_t w = static_cast<std::size_t>(width);
    std::size_t n = std::min(std::strlen(text), w);
    std::memcpy(out, text, n);
    std::memset(out + n, ' ', w - n);
    return 0;
}

int dUatonf(T_DBGDAT* gdat, const char* text, int width, int decimals, char* out) {
    if (!text || !out || width <= 0 || width > 254 || decimals < 0 ||
        (decimals > 0 && width <= decimals + 1))
        return Fail(gdat, DBRET_RANGE, report::kDecimals);
    char buf[512];
    int n = std::snprintf(buf, sizeof buf, "%*.*f", width, decimals, std::atof(text));
    // A number too wide for the field cannot become its text.
    if (n < 0 || n > width) return Fail(gdat, DBRET_RANGE, report::kDecimals);
    std::memcpy(out, buf, static_cast<std::size_t>(width));
    return Ok(gdat);
}

int dUnftonk(T_DBGDAT* gdat, int kind, const char* text, int width, char* key) {
    if (kind != 1 || !text || !key || width < 0 || width >= 21)
        return Fail(gdat, DBRET_RANGE, report::kNumWidth);
    std::size_t w = static_cast<std::size_t>(width);
    // The field may be shorter than its width when given as C text.
    std::size_t len = 0;
    while (len < w && text[len] != '\0') ++len;
    std::size_t p = 0;
    while (p < len && text[p] == ' ') ++p;
    bool negative = false;
    if (p < len && (text[p] == '-' || text[p] == '+')) {
        negative = text[p] == '-';
        ++p;
    }
    std::string intpart, frac;
    while (p < len && text[p] >= '0' && text[p] <= '9') intpart += text[p++];
    if (p < len && text[p] == '.') {
        ++p;
        while (p < len && text[p] >= '0' && text[p] <= '9') frac += text[p++];
    }
    while (p < len && text[p] == ' ') ++p;
    if (p != len) return Fail(gdat, DBRET_RANGE, report::kNotNumber);

    std::size_t lead = intpart.find_first_not_of('0');
    intpart = lead == std::string::npos ? std::string() : intpart.substr(lead);
    std::size_t last = frac.find_last_not_of('0');
    frac = last == std::string::npos ? std::string() : frac.substr(0, last + 1);
    int i = static_cast<int>(intpart.size());
    int f = static_cast<int>(frac.size());

    unsigned char* k = reinterpret_cast<unsigned char*>(key);
    std::memset(k, 0, DB_NUMKEY_LEN);
    std::string digits;
    if (i > 0) {
        k[numkey::kExponent] = static_cast<unsigned char>(numkey::kZeroExponent + i);
        digits = intpart + frac;
        k[numkey::kCount] = f > 0 ? static_cast<unsigned char>(((i + f) * 4) | 1) : 0x29;
    } else if (f > 0) {
        std::size_t f1 = frac.find_first_not_of('0');  // 0-based
        k[numkey::kExponent] = static_cast<unsigned char>(0x35 - static_cast<int>(f1 + 1));
        digits = frac.substr(f1);
        k[numkey::kCount] = static_cast<unsigned char>((static_cast<int>(digits.size()) * 4) | 1);
    } else {
        k[numkey::kExponent] = numkey::kZeroExponent;
        k[numkey::kCount] = 0x01;
        return Ok(gdat);
    }
    if (negative) k[numkey::kCount] |= numkey::kNegative;
    for (std::size_t d = 0; d < digits.size() && d < static_cast<std::size_t>(numkey::kMaxDigits); ++d) {
        unsigned char v = static_cast<unsigned char>(digits[d] - '0');
        k[numkey::kDigits + d / 2] |= (d % 2 == 0) ? static_cast<unsigned char>(v << 4) : v;
    }
    return Ok(gdat);
}

int dUnktoa(const char* key, char* out) {
    if (!key || !out) return DBRET_RANGE;
    const unsigned char* k = reinterpret_cast<const unsigned char*>(key);
    if (IsZeroKey(k)) {
        std::strcpy(out, "0");
        return 0;
    }
    char digits[numkey::kMaxDigits + 1];
    int nd = 0;
    for (int d = 0; d < numkey::kMaxDigits; ++d) {
        unsigned v = k[numkey::kDigits + d / 2];
        v = (d % 2 == 0) ? (v >> 4) : (v & 0x0F);
        if (v > 9) return DBRET_RANGE;
        digits[nd++] = static_cast<char>('0' + v);
    }
    while (nd > 0 && digits[nd - 1] == '0') --nd;
    int e = static_cast<int>(k[numkey::kExponent]) - numkey::kZeroExponent;
    // Exponents beyond the digits a key can hold are not packed decimal.
    if (e > numkey::kMaxDigits || e < -numkey::kMaxDigits) return DBRET_RANGE;
    std::string s;
    if (k[numkey::kCount] & numkey::kNegative) s += '-';
    if (e > 0) {
        for (int d = 0; d < e; ++d) s += d < nd ? digits[d] : '0';
        if (nd > e) {
            s += '.';
            s.append(digits + e, static_cast<std::size_t>(nd - e));
        }
    } else {
        s += "0.";
        s.append(static_cast<std::size_t>(-e), '0');
        s.append(digits, static_cast<std::size_t>(nd));
    }
    static_assert(1 + numkey::kMaxDigits + 2 + numkey::kMaxDigits * 2 < DB_NUMTEXT_LEN,
                  "numeric text fits its buffer");
    std::memcpy(out, s.c_str(), s.size() + 1);
    return 0;
}

int dUexpnm(const char* name, const char* extension, char* out, std::size_t outsize) {
    if (!name || !extension || !out || outsize == 0) return DBRET_RANGE;
    std::size_t n = std::strcspn(name, ";");
    // The extension is looked for in the last path component only; '/' is a
    // separator here as well as '\' and ':'.
    std::size_t base = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (name[i] == '\\' || name[i] == ':' || name[i] == '/') base = i + 1;
    bool has_ext = std::memchr(name + base, '.', n - base) != nullptr;
    std::size_t need = n + (has_ext ? 0 : 1 + std::strlen(extension)) + 1;
    if (need > outsize) return DBRET_RANGE;
    std::memcpy(out, name, n);
    out[n] = '\0';
    if (!has_ext) {
        out[n] = '.';
        std::strcpy(out + n + 1, extension);
    }
    return 0;
}
