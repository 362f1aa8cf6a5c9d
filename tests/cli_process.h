// Running osm2trassel-cli as a process from a test: where the program is,
// what a run leaves (exit status, stdout, stderr), and what its help texts
// and help page say.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct TProcess {
  int status = -1;
  std::string out, err;
};

inline std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// The tool beside the test executable.
inline std::string CliPath() {
  const auto exe = std::filesystem::read_symlink("/proc/self/exe");
  return (exe.parent_path() / "osm2trassel-cli").string();
}

// The section of the help page (data/help.html) under the heading with this
// id, up to the next heading of that level; empty when there is none.
inline std::string HelpSection(const std::string& id) {
  const std::string html = Slurp(std::string(PROJECT_DATA_DIR) + "/help.html");
  const size_t begin = html.find("<h2 id=\"" + id + "\">");
  if (begin == std::string::npos) return "";
  return html.substr(begin, html.find("<h2", begin + 1) - begin);
}

// The options a usage text lists: the leading words that start with '-' of
// each line indented by two blanks or more ("  -o, --output DIR ...",
// "      --format FMT ...").
inline std::vector<std::string> UsageOptions(const std::string& usage) {
  std::vector<std::string> options;
  for (size_t p = usage.find("\n  "); p != std::string::npos; p = usage.find("\n  ", p + 1)) {
    std::istringstream line(usage.substr(p + 1, usage.find('\n', p + 1) - p - 1));
    std::string word;
    while (line >> word && word[0] == '-') {
      if (word.back() == ',') word.pop_back();
      options.push_back(word);
    }
  }
  return options;
}
