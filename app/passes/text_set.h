// A set of texts that is searched by string_view without making a string.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

struct TTextHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using TTextSet = std::unordered_set<std::string, TTextHash, std::equal_to<>>;
