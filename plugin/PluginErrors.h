// The crypto plugin's error codes and the exception that carries one out of a handler.
//
// An engine's error state holds the code as decimal text ("LastErrorCode"): the host takes
// only exactly "0" as success, and a test build can force any text there.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "KvObject.h"

namespace dravik::plugin {

enum class TPluginError : int {
  Success = 0,
  UnknownMethod = 1,
  BadParameter = 2,
  UnknownObject = 3,
  UnsupportedObjectType = 4,
  Unparsable = 5,
  ContainerNotFound = 6,
  ContainerExists = 7,
  UnsupportedAlgorithm = 8,
  NotInitialised = 9,   // no engine, an engine of an unsupported type, or no key
  NoSuchProperty = 10,  // also binary data asked for as text
  OpenSsl = 11,
  TooManyEngines = 12,
  IssuerNotFound = 49,
  CertificateNotValidNow = 50,
  BadChainSignature = 51,
  SignerMismatch = 52,
  UntrustedRoot = 53,
  Revoked = 56,
  SignatureInvalid = 60,
  SignatureMalformed = 61,
  OtherChainError = 65,
  CrlProblem = 104,
};

inline std::string ErrorCodeText(TPluginError code) {
  return std::to_string(static_cast<int>(code));
}

// Thrown by a method or handler to fail the command with a code and a message.
class EPluginError : public Exception {
 public:
  EPluginError(TPluginError code, std::string message)
      : Exception(std::move(message)), code_(ErrorCodeText(code)) {}
  // A code text used verbatim (forced failures of test builds).
  EPluginError(std::string codeText, std::string message)
      : Exception(std::move(message)), code_(std::move(codeText)) {}

  std::string_view ClassName() const noexcept override { return "EPluginError"; }
  const std::string& CodeText() const noexcept { return code_; }

 private:
  std::string code_;
};

// The error state of an engine or of a thread's commands without an engine.
struct TErrorState {
  std::string code = "0";
  std::string message;

  void Reset() {
    code = "0";
    message.clear();
  }
  void Set(const EPluginError& error) {
    code = error.CodeText();
    message = error.Message();
  }
};

}  // namespace dravik::plugin
