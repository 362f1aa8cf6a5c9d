// Opening and reading an input file whatever it turns out to be: a pipe, a
// device or a folder given as an input is refused before it can block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// An input file opened for sequential reading: the descriptor, which the
// caller closes, and the file's size. Throws EFOpenError naming the file
// and the system's reason (also for a folder), and for anything but a
// regular file: the passes read each file three times, which a pipe,
// FIFO, device or socket cannot give. The open itself never blocks, not
// even on a FIFO without a writer.
int OpenInputFile(const std::string& path, int64_t& size);
// Up to n bytes of an input file opened so; 0 only at its end. Throws
// EReadError naming the file and the system's reason.
size_t ReadInputFile(int fd, char* dst, size_t n, const std::string& path);
// The first n bytes of an input file (fewer when it is shorter), opened and
// read as above.
std::string ReadInputHead(const std::string& path, size_t n);
