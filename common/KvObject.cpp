#include "KvObject.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>

namespace dravik {

std::string_view ExceptionClassName(const std::exception& e) noexcept {
  if (auto* own = dynamic_cast<const Exception*>(&e)) return own->ClassName();
  if (dynamic_cast<const std::bad_alloc*>(&e)) return "EOutOfMemory";
  if (dynamic_cast<const std::system_error*>(&e)) return "EOSError";
  if (dynamic_cast<const std::out_of_range*>(&e)) return "ERangeError";
  return "Exception";
}

std::string SysErrorMessage(int error) {
  // strerrordesc_np is the untranslated text, whatever the process locale says.
  if (const char* text = strerrordesc_np(error)) return text;
  return "Unknown error " + std::to_string(error);
}

}  // namespace dravik
