#include "input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "linvoro_platform.h"
#include "linvoro_types.h"

namespace {

const char* FileKindText(mode_t mode) {
  if (S_ISFIFO(mode)) return "a pipe (FIFO)";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

}  // namespace

int OpenInputFile(const std::string& path, int64_t& size) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
  // writer, beyond the reach of a stop request.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) throw EFOpenError("Cannot open file \"" + path + "\". " + SystemErrorText(errno));
  struct stat st {};
  int err = 0;
  if (::fstat(fd, &st) != 0)
    err = errno;
  else if (S_ISDIR(st.st_mode))
    err = EISDIR;  // a folder opens, but is no file to read
  if (err) {
    ::close(fd);
    throw EFOpenError("Cannot open file \"" + path + "\". " + SystemErrorText(err));
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    throw EFOpenError("Cannot read file \"" + path + "\": it is " + FileKindText(st.st_mode) +
                      ", not a regular file. The conversion reads each input file three times, which only a "
                      "regular file allows; save the data to a file first.");
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  size = st.st_size;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return fd;
}

size_t ReadInputFile(int fd, char* dst, size_t n, const std::string& path) {
  for (;;) {
    const ssize_t got = ::read(fd, dst, n);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) throw EReadError("Error reading file \"" + path + "\". " + SystemErrorText(errno));
  }
}

std::string ReadInputHead(const std::string& path, size_t n) {
  int64_t size = 0;
  const int fd = OpenInputFile(path, size);
  std::string head(n, '\0');
  size_t got = 0;
  try {
    while (got < head.size()) {
      const size_t k = ReadInputFile(fd, head.data() + got, head.size() - got, path);
      if (k == 0) break;
      got += k;
    }
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
  head.resize(got);
  return head;
}

