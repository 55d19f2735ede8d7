// A trace-record sink that keeps every record in memory, for tests that look at what a
// module logged. Thread-safe: connection threads log while the test reads.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ICTracer.h"

namespace dravik::testing {

struct TRecord {
  std::string firstLine;
  std::string details;
};

class TRecordingSink final : public ITraceRecordSink {
 public:
  bool IsActive() const override { return true; }
  void WriteRecord(std::string_view firstLine, std::string_view details) override {
    std::lock_guard lock(lock_);
    records_.push_back({std::string(firstLine), std::string(details)});
  }
  std::string CurrentLogFile() const override { return {}; }

  // Records whose message starts with `prefix`.
  std::vector<TRecord> Find(std::string_view prefix) const {
    std::lock_guard lock(lock_);
    std::vector<TRecord> found;
    for (const TRecord& record : records_) {
      if (record.details.starts_with("Value: " + std::string(prefix))) found.push_back(record);
    }
    return found;
  }
  // The details of the first record whose message starts with `prefix`.
  std::optional<std::string> FirstDetails(std::string_view prefix) const {
    const std::vector<TRecord> found = Find(prefix);
    if (found.empty()) return std::nullopt;
    return found.front().details;
  }
  // Waits up to `limit` for `count` such records (connection threads log after the client
  // has seen the end of the connection).
  std::vector<TRecord> WaitFor(std::string_view prefix, std::size_t count = 1,
                               std::chrono::milliseconds limit = std::chrono::seconds(2)) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<TRecord> found = Find(prefix);
    while (found.size() < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      found = Find(prefix);
    }
    return found;
  }

 private:
  mutable std::mutex lock_;
  std::vector<TRecord> records_;
};

}  // namespace dravik::testing
