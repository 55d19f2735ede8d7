#include "KvObject.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <system_error>

namespace dravik {
namespace {

class TSample : public TKvObject {
 public:
  DRAVIK_CLASS_NAME(TSample)
};

TEST(ExceptionClassName, OwnExceptionsNameThemselvesStandardOnesGetFixedNames) {
  EXPECT_EQ(ExceptionClassName(EFCreateError("x")), "EFCreateError");
  EXPECT_EQ(ExceptionClassName(Exception("x")), "Exception");
  EXPECT_EQ(ExceptionClassName(std::bad_alloc()), "EOutOfMemory");
  EXPECT_EQ(ExceptionClassName(std::system_error(std::make_error_code(std::errc::io_error))),
            "EOSError");
  EXPECT_EQ(ExceptionClassName(std::runtime_error("x")), "Exception");

  // A derived exception caught through its base still reports its own name.
  try {
    throw EFOpenError("Cannot open file");
  } catch (const EOSError& e) {
    EXPECT_EQ(e.ClassName(), "EFOpenError");
    EXPECT_EQ(e.Message(), "Cannot open file");
  }
  EXPECT_EQ(TSample().ClassName(), "TSample");
}

}  // namespace
}  // namespace dravik
