#pragma once
// A job while it can still change, and the event stream its watchers read.
//
// The stream is one text of server-sent events that only grows, so a watcher
// is an offset into it and a late watcher first gets everything so far. Once
// a stream's events pass the output bound, its later output is left out and
// one `truncated` event says so; the final result, sent in the `end` event,
// keeps everything the run captured.
//
// Thread rules: every member may be called from any thread.

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "jobs/job_store.h"

namespace portico::jobs {

class LiveJob {
 public:
  // `job` is queued or running; `output_bytes` bounds each stream's events.
  LiveJob(Job job, size_t output_bytes);
  // A finished job's stream, complete at once: its captured output (from the
  // result), its status and the end.
  static std::shared_ptr<LiveJob> replay(Job finished, size_t output_bytes);

  const std::string& id() const { return id_; }
  const std::string& owner() const { return owner_; }
  const std::string& alias() const { return alias_; }
  // The row as it stands; the result only once finished.
  Job snapshot() const;

  // Whether cancel() was asked for; the run polls it.
  const std::atomic<bool>& cancel_flag() const { return cancel_; }

  enum class Cancel { finished, queued, running };
  // Raises the cancel flag unless the job has finished. A queued job then
  // never starts: the caller finishes it as cancelled.
  Cancel cancel();
  // queued -> running; false when the job was cancelled or has finished.
  bool start(const std::string& now);
  // To a final status; false, changing nothing, when already finished. The
  // result is shared, not copied: it may hold megabytes of output.
  bool finish(Status status, std::shared_ptr<const Value> result, const std::string& now);
  // A piece of captured output: "stdout" or "stderr", raw bytes that may end
  // inside a UTF-8 sequence (the rest of it comes with the next piece).
  void output(std::string_view stream, std::string_view bytes);

  // Appends the events after `offset` to `out` and moves `offset` on; false
  // once the end event has been handed out.
  bool read(size_t& offset, std::string& out) const;
  // Calls `ready` once, from any thread: at once when read() has something
  // after `offset`, otherwise at the next event.
  void wait(size_t offset, std::function<void()> ready);

 private:
  struct Quiet {};
  LiveJob(Job job, size_t output_bytes, Quiet);

  struct Stream {
    std::string pending;  // the start of a UTF-8 sequence that has not ended yet
    size_t sent = 0;      // bytes of its events in the log
    bool truncated = false;
  };
  void append_event(std::string_view name, const std::string& json);  // with mu_ held
  void emit_text(size_t which, std::string text);                     // with mu_ held
  std::vector<std::function<void()>> take_waiters();                  // with mu_ held

  const std::string id_;
  const std::string owner_;
  const std::string alias_;
  const size_t output_bytes_;
  std::atomic<bool> cancel_{false};

  mutable std::mutex mu_;
  Job job_;  // without its result, which is result_
  std::shared_ptr<const Value> result_;
  std::string log_;
  Stream streams_[2];
  std::vector<std::function<void()>> waiters_;
};

// The jobs that can still change, by id.
class JobBoard {
 public:
  void put(const std::shared_ptr<LiveJob>& job);
  std::shared_ptr<LiveJob> find(const std::string& id) const;
  void remove(const std::string& id);

 private:
  mutable std::mutex mu_;
  std::unordered_map<std::string, std::shared_ptr<LiveJob>> jobs_;
};

}  // namespace portico::jobs
