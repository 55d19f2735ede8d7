// The root of traced objects and the base of every exception of the system.
//
// The log names an object by its class name and its address ("TPluginHost(0x...)"),
// and an exception by its class name and message ("EListError: ..."). Both names are
// the system's own, so they are given explicitly rather than taken from RTTI.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace dravik {

// Declares ClassName() inside a class body: DRAVIK_CLASS_NAME(TPluginHost).
#define DRAVIK_CLASS_NAME(Name) \
  std::string_view ClassName() const noexcept override { return #Name; }

class TKvObject {
 public:
  TKvObject() = default;
  TKvObject(const TKvObject&) = default;
  TKvObject& operator=(const TKvObject&) = default;
  virtual ~TKvObject() = default;

  virtual std::string_view ClassName() const noexcept = 0;

  // The address the log shows for this object; stable for the object's lifetime.
  std::uintptr_t ObjectAddress() const noexcept { return reinterpret_cast<std::uintptr_t>(this); }
};

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}

  virtual std::string_view ClassName() const noexcept { return "Exception"; }
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Declares an exception class with its own class name: DRAVIK_EXCEPTION(EListError, Exception).
#define DRAVIK_EXCEPTION(Name, Base)                                       \
  class Name : public Base {                                               \
   public:                                                                 \
    using Base::Base;                                                      \
    std::string_view ClassName() const noexcept override { return #Name; } \
  }

DRAVIK_EXCEPTION(EListError, Exception);     // index out of a list's bounds
DRAVIK_EXCEPTION(EConvertError, Exception);  // a text that is not a value of the asked type
DRAVIK_EXCEPTION(ERangeError, Exception);    // a range that the address space cannot hold
DRAVIK_EXCEPTION(EBase64Error, Exception);   // strict Base64 decoding of invalid text
DRAVIK_EXCEPTION(EOSError, Exception);       // an operating-system call that failed
DRAVIK_EXCEPTION(EFCreateError, EOSError);   // a file that cannot be created
DRAVIK_EXCEPTION(EFOpenError, EOSError);     // a file that cannot be opened
DRAVIK_EXCEPTION(EWriteError, EOSError);     // a write that did not complete
DRAVIK_EXCEPTION(EAbort, Exception);         // a silent stop of an operation, not an error
DRAVIK_EXCEPTION(EOutOfMemory, Exception);   // memory that cannot be had ("Out of memory")

// Class name of any exception: ours name themselves, the standard ones get the names
// the log has always shown for them.
std::string_view ExceptionClassName(const std::exception& e) noexcept;

// Text of an errno value without locale dependence ("No such file or directory").
std::string SysErrorMessage(int error);

}  // namespace dravik
