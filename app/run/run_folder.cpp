#include "run_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <filesystem>

#include "linvoro_platform.h"
#include "osm_format.h"
#include "output_files.h"

namespace fs = std::filesystem;

std::string InputFilesProblem(const std::vector<std::string>& files) {
  for (const std::string& f : files) {
    struct stat st {};
    if (::stat(f.c_str(), &st) != 0) return "Cannot open file \"" + f + "\". " + SystemErrorText(errno);
    if (S_ISDIR(st.st_mode)) return "Cannot open file \"" + f + "\". " + SystemErrorText(EISDIR);
    // A FIFO, device or socket is refused by its opener, which never waits
    // for a writer.
    try {
      DetectOsmFormat(f);
    } catch (const std::exception& e) {
      return e.what();
    }
  }
  return std::string();
}

std::vector<std::string> PreviousResults(const std::string& dir) {
  std::vector<std::string> found;
  if (dir.empty()) return found;
  for (const std::string& name : RunOutputFileNames()) {
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(fs::path(dir) / name, ec);
    // A folder of that name is the user's, not a result.
    if (!ec && (fs::is_regular_file(st) || fs::is_symlink(st))) found.push_back(name);
  }
  // Every run that gets as far as a table writes one, so a page with no
  // table beside it is what a failed or stopped run left: nothing to keep,
  // and asking about it would only block the retry.
  if (found.size() == 1 && found[0] == ReportPageFileName) found.clear();
  return found;
}

std::string PreviousResultsText(const std::vector<std::string>& found, size_t shown) {
  std::string list;
  for (size_t i = 0; i < found.size() && i < shown; ++i) list += (i ? ", " : "") + found[i];
  if (found.size() > shown) list += ", ...";
  return list;
}

bool RemoveRunOutputs(const std::string& dir, int32_t& removed, std::string& error) {
  removed = 0;
  for (const std::string& name : RunOutputFileNames()) {
    const fs::path p = fs::path(dir) / name;
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(p, ec);
    if (ec || !(fs::is_regular_file(st) || fs::is_symlink(st))) continue;
    if (!fs::remove(p, ec)) {
      if (!ec) continue;
      error = "Cannot remove \"" + FullPath(p.string()) + "\". " + ec.message();
      return false;
    }
    ++removed;
  }
  return true;
}

std::string KeepEarlierFindings(const std::string& dir, const std::string& compare, std::string& error) {
  const fs::path findings = fs::path(dir) / ReportFileNames()[0];
  std::error_code ec;
  if (compare.empty() || !fs::equivalent(compare, findings, ec)) return compare;
  const fs::path kept = fs::path(dir) / EarlierFindingsName;
  fs::rename(findings, kept, ec);
  if (ec) {
    error = "Cannot keep \"" + FullPath(findings.string()) + "\" to compare with. " + ec.message();
    return std::string();
  }
  return kept.string();
}

std::string RemovedFilesLine(int32_t removed) {
  return "Removed " + std::to_string(removed) + (removed == 1 ? " file" : " files") + " of a previous run";
}

int64_t CountLines(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  int64_t lines = 0;
  char buf[1 << 16];
  char last = '\n';
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return -1;
    }
    if (n == 0) break;
    for (ssize_t i = 0; i < n; ++i) lines += buf[i] == '\n';
    last = buf[n - 1];
  }
  ::close(fd);
  return lines + (last != '\n');
}
