// The reader opens files by path, so each fuzz input is written to a file in
// a private temporary folder (in /dev/shm when there is one), removed at exit.
#ifndef FUZZ_DBASE_FILES_H
#define FUZZ_DBASE_FILES_H

#include <cstddef>
#include <cstdint>
#include <string>

// Writes `size` bytes to the file `name` in the folder; returns its path, or
// "" when it cannot be written.
std::string FuzzWriteFile(const char* name, const std::uint8_t* data, std::size_t size);

#endif
