#include "linvoro_filebase.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "linvoro_functions.h"
#include "linvoro_types.h"

namespace {

std::string CurrentDirectory() {
  std::vector<char> buf(4096);
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE || buf.size() >= (1u << 20)) return "./";  // removed or unreachable
    buf.resize(buf.size() * 2);
  }
  std::string dir(buf.data());
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

}  // namespace

TFileBase::TFileBase() : fDirectory(CurrentDirectory()) {}

void TFileBase::SetDirectory(const std::string& value) {
  if (fIsOpen) return;
  if (value.empty()) {
    // A bare "/" would send every network file to the file-system root.
    fDirectory = CurrentDirectory();
    return;
  }
  fDirectory = value;
  if (fDirectory.back() != '/') fDirectory += '/';
}

void TFileBase::CheckDirectory() const {
  struct stat st;
  if (::stat(fDirectory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw Exception("Output directory does not exist");
  if (!DirectoryWritable(fDirectory)) throw Exception("Output directory is not writeable");
}
