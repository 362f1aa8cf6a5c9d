#include "include_file.h"

#include <cerrno>
#include <fstream>
#include <sstream>

#include "linvoro_functions.h"
#include "linvoro_platform.h"
#include "linvoro_types.h"

namespace {

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Items of a comma-separated text in which control characters and spaces
// separate as well, double quotes group (a doubled quote inside stands for
// one) and two commas in a row give an empty item.
std::vector<std::string> SplitRecord(std::string_view s) {
  // The record ends at a NUL, as a C string would. A NUL inside it would
  // neither separate nor belong to an unquoted item, and the scan below
  // would never move past it.
  s = s.substr(0, s.find('\0'));
  std::vector<std::string> items;
  auto blank = [&](size_t i) { return i < s.size() && static_cast<unsigned char>(s[i]) <= ' '; };
  size_t p = 0;
  while (blank(p)) ++p;
  while (p < s.size()) {
    std::string item;
    if (s[p] == '"') {
      ++p;
      while (p < s.size()) {
        if (s[p] == '"') {
          if (p + 1 < s.size() && s[p + 1] == '"') {
            item += '"';
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        item += s[p++];
      }
    } else {
      const size_t b = p;
      while (p < s.size() && static_cast<unsigned char>(s[p]) > ' ' && s[p] != ',') ++p;
      item.assign(s.substr(b, p - b));
    }
    items.push_back(std::move(item));
    while (blank(p)) ++p;
    if (p < s.size() && s[p] == ',') {
      if (p + 1 == s.size()) items.emplace_back();
      do ++p;
      while (blank(p));
    }
  }
  return items;
}

}  // namespace

size_t TIncludeLists::CaseHash::operator()(std::string_view s) const noexcept {
  uint64_t h = 1469598103934665603ULL;
  for (const char c : s) h = (h ^ static_cast<unsigned char>(Lower(c))) * 1099511628211ULL;
  return static_cast<size_t>(h);
}

bool TIncludeLists::CaseEqual::operator()(std::string_view a, std::string_view b) const noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

void TIncludeLists::FreeIncludeLists() {
  for (int i = 0; i < 4; ++i) {
    FValues[i].clear();
    FIndex[i].clear();
  }
  FTypeCodes.clear();
}

void TIncludeLists::LoadIncludeFile(const std::string& path) {
  FreeIncludeLists();
  std::ifstream f(path, std::ios::binary);
  if (!f)
    throw EFOpenError("Cannot open file \"" + path + "\". " + SystemErrorText(errno ? errno : ENOENT));
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string text = CodePageToUtf8(ss.str(), 0);

  auto add = [&](int list, const std::string& value) {
    FIndex[list].emplace(value, static_cast<int32_t>(FValues[list].size()));
    FValues[list].push_back(value);
  };

  size_t p = 0;
  int lineNo = 0;
  while (p < text.size()) {
    size_t e = text.find_first_of("\r\n", p);
    if (e == std::string::npos) e = text.size();
    const std::string_view line(text.data() + p, e - p);
    p = e;
    if (p < text.size()) p += (text[p] == '\r' && p + 1 < text.size() && text[p + 1] == '\n') ? 2 : 1;
    if (++lineNo == 1) continue;  // heading
    if (Trim(line).empty()) continue;
    const std::vector<std::string> items = SplitRecord(line);
    if (items.size() < 5)
      throw EConvertError("Line " + std::to_string(lineNo) + " of \"" + path +
                          "\" does not have five columns: " + std::string(line));
    const int32_t code = ParseInt32(items[4]);
    add(3, items[3]);
    FTypeCodes.push_back(code);
    for (int m = 0; m < 3; ++m)
      if (items[m] == "1") add(m, items[3]);
  }
}

bool TIncludeLists::Contains(int list, std::string_view value) const {
  if (list < 0 || list > 3) return false;
  return FIndex[list].find(value) != FIndex[list].end();
}

int32_t TIncludeLists::TypeCode(std::string_view value) const {
  const auto it = FIndex[3].find(value);
  return it == FIndex[3].end() ? 0 : FTypeCodes[static_cast<size_t>(it->second)];
}

const std::vector<std::string>& TIncludeLists::Values(int list) const {
  static const std::vector<std::string> none;
  return (list < 0 || list > 3) ? none : FValues[list];
}
