// The message a call ends with, for tests that compare error texts.
#pragma once

#include <exception>
#include <functional>
#include <string>

inline std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}
