#include "settings_file.h"

#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "linvoro_functions.h"
#include "linvoro_platform.h"
#include "linvoro_types.h"

std::string SettingsFolder() {
  std::string base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home && *home ? home : ".") + "/.config";
  }
  if (base.back() != '/') base += '/';
  const std::string folder = base + "osm2trassel/";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) throw EOSError("Cannot create folder \"" + folder + "\". " + ec.message());
  return folder;
}

std::string DefaultSettingsPath() { return SettingsFolder() + "osm2trassel.ini"; }

// ---------------------------------------------------------------- locale numbers

std::string LocaleDecimalPoint() {
  std::string point = ".";
  locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
  if (loc) {
    const char* r = nl_langinfo_l(RADIXCHAR, loc);
    if (r && *r) point = r;
    freelocale(loc);
  }
  return point;
}

namespace {

std::string TrimText(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::string FormatLocaleFloat(double x) { return FormatLocaleFloat(x, LocaleDecimalPoint()); }

std::string FormatLocaleFloat(double x, const std::string& point) {
  std::string s = FormatNumber(x);
  if (point == ".") return s;
  const size_t dot = s.find('.');
  if (dot != std::string::npos) s = s.substr(0, dot) + point + s.substr(dot + 1);
  return s;
}

bool ParseLocaleFloat(const std::string& text, double& x) {
  return ParseLocaleFloat(text, x, LocaleDecimalPoint());
}

bool ParseLocaleFloat(const std::string& text, double& x, const std::string& point) {
  std::string s = TrimText(text);
  if (point != "." && !point.empty()) {
    const size_t p = s.find(point);
    if (p != std::string::npos) s = s.substr(0, p) + '.' + s.substr(p + point.size());
  }
  size_t i = 0;
  if (!s.empty() && s[0] == '+') i = 1;
  if (i == s.size() || (i == 1 && s[i] == '-')) return false;
  double v = 0;
  const char* first = s.data() + i;
  const char* last = s.data() + s.size();
  const auto r = std::from_chars(first, last, v, std::chars_format::general);
  if (r.ec != std::errc() || r.ptr != last || !std::isfinite(v)) return false;
  x = v;
  return true;
}

// ---------------------------------------------------------------- INI file

namespace {

constexpr const char* cSection = "main";

struct TIniLines {
  std::vector<std::string> lines;

  bool Load(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::stringstream ss;
    ss << f.rdbuf();
    const std::string text = ss.str();
    size_t p = 0;
    while (p < text.size()) {
      size_t e = text.find_first_of("\r\n", p);
      if (e == std::string::npos) e = text.size();
      lines.emplace_back(text, p, e - p);
      p = e;
      if (p < text.size()) p += (text[p] == '\r' && p + 1 < text.size() && text[p + 1] == '\n') ? 2 : 1;
    }
    return true;
  }

  static bool IsSection(const std::string& line, std::string_view* name) {
    const std::string t = TrimText(line);
    if (t.size() < 2 || t.front() != '[' || t.back() != ']') return false;
    if (name) *name = std::string_view(line).substr(line.find('[') + 1, t.size() - 2);
    return true;
  }

  // Line range [first, last) of the section's keys; first = npos when the
  // section is missing.
  void SectionRange(size_t& first, size_t& last) const {
    first = last = std::string::npos;
    for (size_t i = 0; i < lines.size(); ++i) {
      std::string_view name;
      if (!IsSection(lines[i], &name)) continue;
      if (first != std::string::npos) {
        last = i;
        return;
      }
      if (EqualNoCase(TrimText(std::string(name)), cSection)) first = i + 1;
    }
    if (first != std::string::npos) last = lines.size();
  }

  // Index of the key's line within the section, npos when absent.
  size_t FindKey(size_t first, size_t last, std::string_view key) const {
    if (first == std::string::npos) return std::string::npos;
    for (size_t i = first; i < last; ++i) {
      const size_t eq = lines[i].find('=');
      if (eq == std::string::npos) continue;
      const std::string k = TrimText(lines[i].substr(0, eq));
      if (!k.empty() && (k[0] == ';' || k[0] == '#')) continue;
      if (EqualNoCase(k, key)) return i;
    }
    return std::string::npos;
  }

  bool Has(std::string_view key) const {
    size_t first, last;
    SectionRange(first, last);
    return FindKey(first, last, key) != std::string::npos;
  }

  bool Read(std::string_view key, std::string& value) const {
    size_t first, last;
    SectionRange(first, last);
    const size_t i = FindKey(first, last, key);
    if (i == std::string::npos) return false;
    value = TrimText(lines[i].substr(lines[i].find('=') + 1));
    // A value written in matching quotes stands for the text inside.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    return true;
  }

  void Write(std::string_view key, const std::string& value) {
    size_t first, last;
    SectionRange(first, last);
    if (first == std::string::npos) {
      if (!lines.empty() && !TrimText(lines.back()).empty()) lines.emplace_back();
      lines.push_back(std::string("[") + cSection + "]");
      first = last = lines.size();
    }
    const std::string line = std::string(key) + "=" + value;
    const size_t i = FindKey(first, last, key);
    if (i != std::string::npos) {
      lines[i] = line;
      return;
    }
    // New keys go after the section's last non-blank line.
    size_t at = last;
    while (at > first && TrimText(lines[at - 1]).empty()) --at;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), line);
  }
};

// Integer text as the settings file holds it: decimal, or hexadecimal with
// "0x" or "$".
bool ParseIniInteger(const std::string& text, int32_t& v) {
  const std::string s = TrimText(text);
  int base = 10;
  size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  if (s.compare(i, 2, "0x") == 0 || s.compare(i, 2, "0X") == 0) {
    base = 16;
    i += 2;
  } else if (i < s.size() && s[i] == '$') {
    base = 16;
    ++i;
  }
  if (i == s.size()) return false;
  int64_t r = 0;
  const auto res = std::from_chars(s.data() + i, s.data() + s.size(), r, base);
  if (res.ec != std::errc() || res.ptr != s.data() + s.size()) return false;
  if (neg) r = -r;
  if (base == 16 && !neg && r > INT32_MAX && r <= UINT32_MAX) r = static_cast<int32_t>(static_cast<uint32_t>(r));
  if (r < INT32_MIN || r > INT32_MAX) return false;
  v = static_cast<int32_t>(r);
  return true;
}

int32_t ReadInteger(const TIniLines& ini, std::string_view key, int32_t def) {
  std::string s;
  int32_t v;
  if (ini.Read(key, s) && ParseIniInteger(s, v)) return v;
  return def;
}

bool ReadBool(const TIniLines& ini, std::string_view key, bool def) {
  return ReadInteger(ini, key, def ? 1 : 0) != 0;
}

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) { return std::max(lo, std::min(hi, v)); }

const char* const cOptionalKeys[oiCount] = {"bridge", "lanes", "maxheight", "maxspeed",
                                            "maxweight", "maxwidth", "toll", "tunnel"};

}  // namespace

bool LoadSettings(const std::string& path, TRunOptions& o) {
  TIniLines ini;
  if (!ini.Load(path)) return false;
  // Item indexes outside a choice's range are brought into it, as a radio
  // group does with the index it is given.
  o.OutputFormat = Clamp(ReadInteger(ini, "outputformat", 1), 0, 3);
  o.SpeedUnit = Clamp(ReadInteger(ini, "speedunit", suAsIs), 0, 2);
  o.SplitLoopLinks = ReadBool(ini, "splitlooplinks", true);
  o.SplitLinks = ReadBool(ini, "splitlinks", true);
  o.Pedestrian = ReadBool(ini, "pedestrian", false);
  o.Bicycle = ReadBool(ini, "bicycle", false);
  o.Car = ReadBool(ini, "car", true);
  for (int i = 0; i < oiCount; ++i) o.Optional[i] = ReadBool(ini, cOptionalKeys[i], false);
  o.NameRef = Clamp(ReadInteger(ini, "NameRef", nrNameAndRef), 0, 3);
  o.Driving = Clamp(ReadInteger(ini, "driving", drSkip), 0, 2);
  o.BuildNetwork = ReadBool(ini, "buildnetwork", false);
  o.Subnets = ReadBool(ini, "subnets", false);
  o.TopoChecks = ReadBool(ini, "topochecks", false);
  o.Simplify = Clamp(ReadInteger(ini, "simplify", 0), 0, 15);
  std::string s;
  double d = 0.1;
  o.minObjectLen = (ini.Read("minObjectLength", s) && ParseLocaleFloat(s, d)) ? d : 0.1;
  o.NameLength = static_cast<uint32_t>(ReadInteger(ini, "NameLength", 50));
  o.RefLength = static_cast<uint32_t>(ReadInteger(ini, "RefLength", 25));
  o.ExitText = ini.Read("ExitText", s) ? s : std::string("Exit");
  uint16_t encoding = 0;
  o.Encoding = ini.Read("encoding", s) && ParseEncoding(s, encoding) ? encoding : 0;
  o.Report = ReadBool(ini, "report", true);
  return true;
}

void SaveSettings(const std::string& path, const TRunOptions& o) {
  TIniLines ini;
  ini.Load(path);
  auto b = [](bool v) { return std::string(v ? "1" : "0"); };
  auto n = [](int64_t v) { return std::to_string(v); };
  ini.Write("outputformat", n(o.OutputFormat));
  ini.Write("speedunit", n(o.SpeedUnit));
  ini.Write("splitlooplinks", b(o.SplitLoopLinks));
  ini.Write("splitlinks", b(o.SplitLinks));
  ini.Write("pedestrian", b(o.Pedestrian));
  ini.Write("bicycle", b(o.Bicycle));
  ini.Write("car", b(o.Car));
  for (int i = 0; i < oiCount; ++i) ini.Write(cOptionalKeys[i], b(o.Optional[i]));
  ini.Write("NameRef", n(o.NameRef));
  ini.Write("driving", n(o.Driving));
  ini.Write("buildnetwork", b(o.BuildNetwork));
  ini.Write("subnets", b(o.Subnets));
  ini.Write("topochecks", b(o.TopoChecks));
  ini.Write("simplify", n(o.Simplify));
  ini.Write("minObjectLength", FormatLocaleFloat(o.minObjectLen));
  ini.Write("NameLength", n(static_cast<int32_t>(o.NameLength)));
  ini.Write("RefLength", n(static_cast<int32_t>(o.RefLength)));
  if (o.Encoding != 0 || ini.Has("encoding")) ini.Write("encoding", EncodingText(o.Encoding));
  // Like "encoding": only files whose user turned the report off, or that
  // name it already, get the key.
  if (!o.Report || ini.Has("report")) ini.Write("report", b(o.Report));

  std::string text;
  for (const auto& l : ini.lines) {
    text += l;
    text += '\n';
  }
  // Write beside and rename, so that a failed write never leaves a cut file.
  const std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    if (!f) throw EFCreateError("Cannot create file \"" + path + "\". " + SystemErrorText(errno));
    f << text;
    f.flush();
    if (!f) {
      const int e = errno;
      f.close();
      std::error_code ec;
      std::filesystem::remove(tmp, ec);  // a cut copy is of no use to anyone
      throw EFCreateError("Cannot create file \"" + path + "\". " + SystemErrorText(e));
    }
  }
  std::error_code ec;
  std::filesystem::rename(tmp, path, ec);
  if (ec) {
    std::filesystem::remove(tmp, ec);
    throw EFCreateError("Cannot create file \"" + path + "\". " + ec.message());
  }
}
