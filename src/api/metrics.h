#pragma once
// Counters and gauges of the server, rendered as Prometheus text.
//
// Thread rules: every member may be called from any thread.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace portico::api {

class Metrics {
 public:
  // One request of a run (whatever came of it) and its wall time.
  void record_run(const std::string& alias, const std::string& outcome, double seconds);
  // A failed or throttled sign-in ("unauthorized", "auth_throttled").
  void count_sign_in(const std::string& outcome);
  // A request refused by the connection before any route (400, 408, 413, 414, 431, 503).
  void count_refusal(int status);
  std::string render() const;

  std::atomic<int64_t> runs_in_flight{0};
  std::atomic<int64_t> runs_queued{0};
  std::atomic<int64_t> connections{0};

 private:
  static constexpr size_t kBuckets = 12;
  mutable std::mutex mu_;
  std::map<std::pair<std::string, std::string>, uint64_t> runs_;
  uint64_t bucket_counts_[kBuckets] = {};
  double duration_sum_ = 0;
  uint64_t duration_count_ = 0;
  std::map<std::string, uint64_t> sign_ins_;
  std::map<int, uint64_t> refusals_;
};

}  // namespace portico::api
