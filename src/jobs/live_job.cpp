#include "jobs/live_job.h"

#include <limits>

#include "common/text.h"

namespace portico::jobs {
namespace {

constexpr size_t kEnded = std::numeric_limits<size_t>::max();
constexpr std::string_view kStreamNames[2] = {"stdout", "stderr"};

std::string json_text(const Value& v) { return v.dump(-1, ' ', false, Value::error_handler_t::replace); }

Value status_object(Status s) { return Value{{"status", status_name(s)}}; }

// Where the bytes stop being whole UTF-8 sequences: a lead byte near the end
// whose sequence is still short waits for the next piece. Anything else,
// invalid bytes included, is decoded now.
size_t whole_prefix(std::string_view b) {
  for (size_t back = 1; back <= 3 && back <= b.size(); ++back) {
    const auto c = static_cast<unsigned char>(b[b.size() - back]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const size_t need = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 1;
    return need > back ? b.size() - back : b.size();
  }
  return b.size();
}

}  // namespace

LiveJob::LiveJob(Job job, size_t output_bytes, Quiet)
    : id_(job.id), owner_(job.user), alias_(job.alias), output_bytes_(output_bytes), job_(std::move(job)) {
  if (job_.result) result_ = std::make_shared<const Value>(*std::exchange(job_.result, std::nullopt));
}

LiveJob::LiveJob(Job job, size_t output_bytes) : LiveJob(std::move(job), output_bytes, Quiet{}) {
  result_.reset();
  append_event("status", json_text(status_object(job_.status)));
}

std::shared_ptr<LiveJob> LiveJob::replay(Job finished, size_t output_bytes) {
  auto live = std::shared_ptr<LiveJob>(new LiveJob(std::move(finished), output_bytes, Quiet{}));
  std::lock_guard<std::mutex> l(live->mu_);
  const auto& result = live->result_;
  // The output first, as a watcher of the live job saw it.
  if (result && result->is_object())
    for (size_t i = 0; i < 2; ++i) {
      auto it = result->find(std::string(kStreamNames[i]));
      if (it != result->end() && it->is_string() && !it->get_ref<const std::string&>().empty())
        live->emit_text(i, it->get<std::string>());
    }
  live->append_event("status", json_text(status_object(live->job_.status)));
  return live;
}

Job LiveJob::snapshot() const {
  std::lock_guard<std::mutex> l(mu_);
  Job j = job_;
  if (result_) j.result = *result_;
  return j;
}

LiveJob::Cancel LiveJob::cancel() {
  std::lock_guard<std::mutex> l(mu_);
  if (is_finished(job_.status)) return Cancel::finished;
  cancel_.store(true);
  return job_.status == Status::queued ? Cancel::queued : Cancel::running;
}

bool LiveJob::start(const std::string& now) {
  std::vector<std::function<void()>> wake;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (job_.status != Status::queued || cancel_.load()) return false;
    job_.status = Status::running;
    job_.started = now;
    append_event("status", json_text(status_object(job_.status)));
    wake = take_waiters();
  }
  for (auto& w : wake) w();
  return true;
}

bool LiveJob::finish(Status status, std::shared_ptr<const Value> result, const std::string& now) {
  std::vector<std::function<void()>> wake;
  {
    std::lock_guard<std::mutex> l(mu_);
    if (is_finished(job_.status)) return false;
    for (size_t i = 0; i < 2; ++i)
      if (!streams_[i].pending.empty()) emit_text(i, decode_utf8_replace(std::exchange(streams_[i].pending, {})));
    job_.status = status;
    job_.finished = now;
    result_ = std::move(result);
    append_event("status", json_text(status_object(status)));
    wake = take_waiters();
  }
  for (auto& w : wake) w();
  return true;
}

void LiveJob::output(std::string_view stream, std::string_view bytes) {
  const size_t which = stream == kStreamNames[0] ? 0 : 1;
  std::vector<std::function<void()>> wake;
  {
    std::lock_guard<std::mutex> l(mu_);
    Stream& s = streams_[which];
    if (s.truncated || is_finished(job_.status)) return;
    s.pending.append(bytes);
    const size_t whole = whole_prefix(s.pending);
    if (whole == 0) return;
    std::string text = to_utf8(s.pending.substr(0, whole));
    s.pending.erase(0, whole);
    const size_t before = log_.size();
    emit_text(which, std::move(text));
    if (log_.size() == before) return;
    wake = take_waiters();
  }
  for (auto& w : wake) w();
}

void LiveJob::emit_text(size_t which, std::string text) {
  Stream& s = streams_[which];
  if (s.truncated) return;
  if (s.sent >= output_bytes_) {
    s.truncated = true;
    s.pending.clear();
    append_event("truncated", json_text(Value{{"stream", kStreamNames[which]}}));
    return;
  }
  const size_t before = log_.size();
  append_event(kStreamNames[which], json_text(Value(std::move(text))));
  s.sent += log_.size() - before;
}

void LiveJob::append_event(std::string_view name, const std::string& json) {
  log_.append("event: ").append(name).append("\ndata: ").append(json).append("\n\n");
}

std::vector<std::function<void()>> LiveJob::take_waiters() { return std::exchange(waiters_, {}); }

bool LiveJob::read(size_t& offset, std::string& out) const {
  if (offset == kEnded) return false;
  std::lock_guard<std::mutex> l(mu_);
  if (offset < log_.size()) out.append(log_, offset, std::string::npos);
  offset = log_.size();
  if (is_finished(job_.status)) {
    // Rendered per watcher: a large result is never kept twice for nobody.
    std::string job = json_text(job_.to_value(false));
    job.pop_back();  // the closing brace: the result follows
    out.append("event: end\ndata: ").append(job).append(",\"result\":");
    out.append(result_ ? json_text(*result_) : "null").append("}\n\n");
    offset = kEnded;
  }
  return true;
}

void LiveJob::wait(size_t offset, std::function<void()> ready) {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (offset == kEnded) return;
    if (offset >= log_.size() && !is_finished(job_.status)) {
      waiters_.push_back(std::move(ready));
      return;
    }
  }
  ready();
}

void JobBoard::put(const std::shared_ptr<LiveJob>& job) {
  std::lock_guard<std::mutex> l(mu_);
  jobs_[job->id()] = job;
}

std::shared_ptr<LiveJob> JobBoard::find(const std::string& id) const {
  std::lock_guard<std::mutex> l(mu_);
  auto it = jobs_.find(id);
  return it == jobs_.end() ? nullptr : it->second;
}

void JobBoard::remove(const std::string& id) {
  std::lock_guard<std::mutex> l(mu_);
  jobs_.erase(id);
}

}  // namespace portico::jobs
