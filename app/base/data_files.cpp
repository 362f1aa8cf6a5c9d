#include "data_files.h"

#include <filesystem>

std::string GetExeFileName() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.string();
}

std::string GetExeFolder() {
  const std::string exe = GetExeFileName();
  if (exe.empty()) return "./";
  return std::filesystem::path(exe).parent_path().string() + "/";
}

std::string DataFileName(const std::string& name) { return DataFileNameIn(GetExeFolder(), name); }

std::string DataFileNameIn(const std::string& exeFolder, const std::string& name) {
  const std::string beside = exeFolder + name;
  std::error_code ec;
  if (std::filesystem::is_regular_file(beside, ec)) return beside;
  // <prefix>/bin/ -> <prefix>/share/osm2trassel/
  const std::filesystem::path installed =
      std::filesystem::path(exeFolder).parent_path().parent_path() / "share" / "osm2trassel" / name;
  if (std::filesystem::is_regular_file(installed, ec)) return installed.lexically_normal().string();
  return beside;
}
