// The message of the engine's error that `fn` raises; "" when it raises none.
#pragma once

#include <functional>
#include <string>

#include "paradox/paradox_error.h"

namespace dk::test {

inline std::string ErrorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const EParadoxError& e) {
    return e.what();
  }
  return "";
}

}  // namespace dk::test
