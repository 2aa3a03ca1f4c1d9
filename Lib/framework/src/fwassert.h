// Always-on assertion for programming errors (a null out-pointer, a priority
// out of range). Prints the failed expression with the function's full
// signature and aborts, in every build type.
#ifndef NUVAK_FW_ASSERT_H
#define NUVAK_FW_ASSERT_H

#include <cstdio>
#include <cstdlib>

#define FW_ASSERT(expr)                                                              \
    do {                                                                             \
        if (!(expr)) {                                                               \
            std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", __FILE__,    \
                         __LINE__, __PRETTY_FUNCTION__, #expr);                      \
            std::abort();                                                            \
        }                                                                            \
    } while (0)

#endif
