// Shared by the fuzz targets of the library's parsers.
#ifndef VK_FUZZ_SUPPORT_H
#define VK_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Writes `data` to the file `name` in this process's private scratch
// directory (made on first use under $TMPDIR or /tmp, removed at exit) and
// answers its path. The parsers that take a path read their input there,
// never at the product's own paths.
const char *write_input(const uint8_t *data, size_t size, const char *name = "input");

// The input as a zero-terminated, modifiable text (cut at an embedded NUL
// byte, as any C text would be).
std::string text(const uint8_t *data, size_t size);

// Reports a broken property of a parser and aborts, so that the fuzzer
// keeps the input.
[[noreturn]] void fail(const char *what);

inline void check(bool ok, const char *what) {
    if (!ok) fail(what);
}

}  // namespace fuzz

#endif
