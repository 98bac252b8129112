#pragma once
// Private to the logging service: a log file that appends whole lines and
// never loses one silently.
//
// A line that cannot be written (full disk, I/O error, read-only file system)
// waits in a bounded backlog and is written, in order, by a later write or
// flush(); lines beyond the bound are counted as dropped. A write that stops
// part-way is cut back off the file, so a fragment never runs into the next
// line. The first failure and the recovery are reported through alert().
//
// Thread rules: every member may be called from any thread.

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "common/fd.h"

namespace portico::logging_internal {

// Reports a problem of the logs themselves: on standard error, or to syslog
// once alerts_to_syslog(true) was called (a daemon's standard error is gone).
void alert(const std::string& message);
void alerts_to_syslog(bool on);

struct LogFileStatus {
  std::string name, path;
  bool failing = false;     // the last attempt failed, or lines still wait
  std::string error;        // the last failure's OS message
  uint64_t write_failures = 0;
  uint64_t dropped = 0;
  size_t backlog = 0;       // lines waiting
};

class LogFile {
 public:
  // `name` is what metrics and messages call it ("audit", "app"); "-" as the
  // path means standard error.
  LogFile(std::string name, std::string path, size_t backlog_limit);

  // Opens (or reopens) the path; throws std::system_error and keeps the
  // previous descriptor when that fails.
  void open();
  // Appends one line (with its line end); never throws.
  void write(std::string line);
  // Writes what waits; true when nothing is left.
  bool flush();
  LogFileStatus status() const;
  const std::string& path() const { return path_; }

 private:
  // Writes data whole or not at all (as far as the file shows); lock held.
  bool write_now(const std::string& data);
  bool drain();  // lock held; true when nothing waits
  void failed(int err);  // lock held
  void recovered();  // lock held
  // Messages for alert(), sent by the caller once the lock is released.
  std::vector<std::string> take_alerts();

  const std::string name_, path_;
  const size_t limit_;
  mutable std::mutex mu_;
  UniqueFd fd_;
  std::deque<std::string> backlog_;
  size_t backlog_bytes_ = 0;
  bool open_fragment_ = false;  // a cut-off fragment could not be removed
  int last_error_ = 0;
  uint64_t failures_ = 0, dropped_ = 0;
  // One failure episode: from the first failed write to the first write
  // after which nothing waits.
  bool failing_ = false;
  uint64_t episode_failures_ = 0, episode_dropped_ = 0;
  std::vector<std::string> alerts_;
};

}  // namespace portico::logging_internal
