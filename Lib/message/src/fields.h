// Table-driven reading and writing of camera elements. Every variable class
// describes its fields once, in their fixed order; the same table gives the
// recognised attribute names, the written order and the fields left out when
// 0 or empty.
#ifndef NUVAK_MESSAGE_FIELDS_H
#define NUVAK_MESSAGE_FIELDS_H

#include <array>
#include <cstddef>
#include <cstring>
#include <string>

#include "message.h"

namespace nuvak::msg {

enum class Kind : unsigned char { U16, U32, Text };

template <class C>
struct Field {
    const char* name;    // attribute name
    Kind kind;
    bool omitWhenEmpty;  // left out of the text when 0 or empty
    T_uint_16 C::*u16;
    T_uint_32 C::*u32;
    std::string C::*text;
};

template <class C>
constexpr Field<C> U16(const char* name, T_uint_16 C::*m, bool omit = false) {
    return {name, Kind::U16, omit, m, nullptr, nullptr};
}
template <class C>
constexpr Field<C> U32(const char* name, T_uint_32 C::*m, bool omit = false) {
    return {name, Kind::U32, omit, nullptr, m, nullptr};
}
template <class C>
constexpr Field<C> Text(const char* name, std::string C::*m, bool omit = false) {
    return {name, Kind::Text, omit, nullptr, nullptr, m};
}

// atoi() truncated to 16 bits (done with strtol, which atoi is defined by,
// so that out-of-range text is not undefined behaviour).
T_uint_16 ParseU16(const char* text);
// strtoul() base 10; values beyond 32 bits saturate at 4294967295, as
// strtoul does where unsigned long is 32 bits wide.
T_uint_32 ParseU32(const char* text);
// True for a tag name that is safe to write unescaped: an ASCII letter or
// underscore, then letters, digits, '.', '-' or '_'.
bool IsSafeTagName(const char* name);
// Appends `name` as a tag name: unchanged when IsSafeTagName, otherwise with
// every other character replaced by '_' (and a '_' in front when it does not
// start with a letter or '_'), so that no type can inject markup.
void AppendTagName(std::string& out, const std::string& name);

// Applies the parser's attribute array (name, value, ..., null) to `obj`.
template <class C, std::size_t N>
void ApplyAttributes(C& obj, const std::array<Field<C>, N>& fields, const char** attributes) {
    if (!attributes) return;
    std::size_t hint = 0;  // attributes usually come in table order
    for (const char** a = attributes; a[0] != nullptr; a += 2) {
        const char* name = a[0];
        const char* value = a[1] ? a[1] : "";
        const Field<C>* match = nullptr;
        if (hint < N && std::strcmp(fields[hint].name, name) == 0) {
            match = &fields[hint];
        } else {
            for (std::size_t i = 0; i < N; ++i) {
                if (std::strcmp(fields[i].name, name) == 0) {
                    match = &fields[i];
                    break;
                }
            }
        }
        if (!match) {
            // The variable's type is kept as given, whatever it is: requests
            // are dispatched on it, and a type that is not one of ours is
            // answered as any other variable. Only its writing is made safe
            // (AppendTagName).
            if (std::strcmp(name, "VariableType") == 0) obj.SetVariableType(value);
            continue;
        }
        hint = static_cast<std::size_t>(match - fields.data()) + 1;
        switch (match->kind) {
            case Kind::U16: obj.*(match->u16) = ParseU16(value); break;
            case Kind::U32: obj.*(match->u32) = ParseU32(value); break;
            case Kind::Text: obj.*(match->text) = value; break;
        }
    }
}

// Writes `obj` at `depth`: the tag, the first field on the tag's own line,
// every further field on a new line one level deeper, then "/>".
template <class C, std::size_t N>
void WriteVariable(const C& obj, const std::array<Field<C>, N>& fields, std::string& out,
                   unsigned short depth) {
    SerializeUtility::appendTabOf(out, depth);
    out += '<';
    AppendTagName(out, obj.GetVariableType());
    out += ' ';
    bool first = true;
    for (const Field<C>& f : fields) {
        T_uint_32 number = 0;
        const std::string* text = nullptr;
        switch (f.kind) {
            case Kind::U16: number = obj.*(f.u16); break;
            case Kind::U32: number = obj.*(f.u32); break;
            case Kind::Text: text = &(obj.*(f.text)); break;
        }
        if (f.omitWhenEmpty && (text ? text->empty() : number == 0)) continue;
        if (!first) SerializeUtility::appendTabOf(out, static_cast<unsigned short>(depth + 1));
        first = false;
        out += f.name;
        out += "=\"";
        if (text) {
            SerializeUtility::appendEscaped(out, *text);
        } else {
            SerializeUtility::appendNum(out, number);
        }
        out += "\" ";
    }
    out += "/>";
}

}  // namespace nuvak::msg

#endif
