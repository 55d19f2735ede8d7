// A plugin host over the built plugin library, installed as the program's one, with the host
// log recorded: for the tests that drive the library through the host's executors and read
// back the commands it was sent.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "DravikConfig.h"
#include "KvClock.h"
#include "RecordingLogSink.h"
#include "TempDir.h"
#include "U_LogFile.h"
#include "U_PluginHost.h"
#include "U_PluginJSON.h"

// The plugin's fault knobs exist in test-hook builds only: a test that needs them skips
// elsewhere.
#define SKIP_WITHOUT_TEST_HOOKS()                                              \
  if (!DRAVIK_TEST_HOOKS) {                                                    \
    GTEST_SKIP() << "the plugin's fault knobs exist in test-hook builds only"; \
  }

namespace dravik::testing {

class TPluginHostFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    previousLoger_ = HostLoger.exchange(&loger_);
    const std::string folder = std::filesystem::path(DRAVIK_PLUGIN_LIBRARY).parent_path();
    host_ = std::make_shared<TPluginHost>(dir_ / "DravikPluginHost.ini",
                                          std::vector<std::string>{folder});
    previousHost_ = SetPluginHost(host_);
  }
  void TearDown() override {
    UnloadLibrary();
    SetPluginHost(previousHost_);
    host_.reset();
    HostLoger.store(previousLoger_);
  }

  // Loads the library, which reads the fault knobs of test-hook builds as it starts; a loaded
  // library is unloaded first.
  bool LoadLibrary(const std::string& faults = {}, const std::string& protocolFault = {}) {
    UnloadLibrary();
    SetKnob("DRAVIK_PLUGIN_FAULTS", faults);
    SetKnob("DRAVIK_PLUGIN_PROTOCOL_FAULT", protocolFault);
    return host_->LoadPluginLibrary();
  }
  void UnloadLibrary() {
    if (host_ && host_->IsLibraryLoaded()) host_->UnloadPluginLibrary();
    SetKnob("DRAVIK_PLUGIN_FAULTS", {});
    SetKnob("DRAVIK_PLUGIN_PROTOCOL_FAULT", {});
  }

  // The texts of the commands passed to the library since the test began, in order.
  std::vector<std::string> SentTexts() const {
    std::vector<std::string> texts;
    for (const TRecord& record : sink_.Find("Processing command...")) {
      const std::size_t begin = record.details.find('{');
      const std::size_t end = record.details.rfind('}');
      if (begin == std::string::npos || end == std::string::npos) continue;
      texts.push_back(record.details.substr(begin, end - begin + 1));
    }
    return texts;
  }
  std::vector<TDecodedPluginCommand> SentCommands() const {
    std::vector<TDecodedPluginCommand> commands;
    for (const std::string& text : SentTexts()) commands.push_back(DecodePluginCommand(text));
    return commands;
  }

  static void SetKnob(const char* name, const std::string& value) {
    if (value.empty()) {
      ::unsetenv(name);
    } else {
      ::setenv(name, value.c_str(), 1);
    }
  }

  TempDir dir_;
  TRecordingSink sink_;
  TManualClock clock_;
  THostLoger loger_{sink_, clock_};
  THostLoger* previousLoger_ = nullptr;
  std::shared_ptr<TPluginHost> host_;
  std::shared_ptr<TPluginHost> previousHost_;
};

}  // namespace dravik::testing
