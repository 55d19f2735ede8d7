#include "CryptoEngine.h"

#include <openssl/crypto.h>

namespace dravik::plugin {

namespace {

// Parameters may carry a PIN or a password: their bytes are wiped before the memory goes.
void Wipe(std::string& value) noexcept {
  if (!value.empty()) OPENSSL_cleanse(value.data(), value.size());
  value.clear();
}

}  // namespace

TCryptoEngine::~TCryptoEngine() { ClearParams(); }

void TCryptoEngine::Reset(std::optional<std::int32_t> engineType) {
  ClearCash();
  ClearParams();
  error_.Reset();
  engineType_ = engineType;
}

void TCryptoEngine::SetParam(std::string_view name, std::string_view value) {
  const auto found = params_.find(name);
  if (found != params_.end()) {
    Wipe(found->second);
    if (value.empty()) {
      params_.erase(found);
    } else {
      found->second.assign(value);
    }
  } else if (!value.empty()) {
    params_.emplace(std::string(name), std::string(value));
  }
}

std::string TCryptoEngine::Param(std::string_view name) const {
  const auto found = params_.find(name);
  return found == params_.end() ? std::string() : found->second;
}

void TCryptoEngine::ClearCash() noexcept {
  imported_ = TImportedObjects();
  lastOutput_.reset();
}

void TCryptoEngine::ClearParams() noexcept {
  for (auto& [name, value] : params_) Wipe(value);
  params_.clear();
}

}  // namespace dravik::plugin
