// Installation-wide integer types and the 16-bit boolean.
#ifndef SYSTYPES_H
#define SYSTYPES_H

#include <cstdint>

typedef std::uint8_t T_uint_8;
typedef std::uint16_t T_uint_16;
typedef std::uint32_t T_uint_32;
typedef std::int8_t T_int_8;
typedef std::int16_t T_int_16;
typedef std::int32_t T_int_32;

// Flags and many results are 16-bit booleans.
#ifndef TRUE
#define TRUE 0xFFFF
#endif
#ifndef FALSE
#define FALSE 0x0000
#endif

// An identifier that names nothing.
#define SYS_IDNULL 0xFFFFu
#define SYS_IDNULL_LONG 0xFFFFFFFFu

#endif
