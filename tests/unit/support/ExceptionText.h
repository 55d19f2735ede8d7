// The class name and message of what a test action throws.
#pragma once

#include <functional>
#include <string>

#include "KvObject.h"

namespace dravik::testing {

// "Class: message" of what `action` throws; "" when it throws nothing.
inline std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  }
  return {};
}

}  // namespace dravik::testing
