#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "common/duration.h"
#include "common/text.h"
#include "docker/docker.h"
#include "executor/executor.h"
#include "executor/files.h"
#include "executor/reaper.h"
#include "executor/run_dir.h"
#include "imagery/imagery.h"
#include "interfaces/template_renderer.h"
#include "logging/logging.h"

namespace portico {
namespace {

// Follows a running container's output, keeping each stream up to
// `max_bytes`, and kills the container as soon as a stream passes that: an
// endless printer stops at once instead of at its time-out, and what it wrote
// need not be read from the Engine again. A watch that ends without seeing
// the limit passed decides nothing; the bounded reads after the run do.
// What is kept is also shown to `on_output`, when there is one.
class OutputWatch {
 public:
  using OnOutput = std::function<void(std::string_view stream, std::string_view bytes)>;
  OutputWatch(std::shared_ptr<docker::Client> client, std::string id, uint64_t max_bytes, OnOutput on_output)
      : thread_([this, client = std::move(client), id = std::move(id), max_bytes, on_output = std::move(on_output)] {
          try {
            client->watch_output(id, [&](bool is_stderr, std::string_view piece) {
              std::string& kept = is_stderr ? err : out;
              const uint64_t room = max_bytes - std::min<uint64_t>(kept.size(), max_bytes);
              const std::string_view part = piece.substr(0, static_cast<size_t>(std::min<uint64_t>(piece.size(), room)));
              kept.append(part);
              if (on_output && !part.empty()) on_output(is_stderr ? "stderr" : "stdout", part);
              if (piece.size() <= room) return true;
              over_limit = is_stderr ? "stderr" : "stdout";
              try {
                client->kill(id);
              } catch (const std::exception&) {
              }
              return false;
            }, &cancel_);
          } catch (const std::exception&) {
          }
        }) {}
  ~OutputWatch() { finish(); }
  OutputWatch(const OutputWatch&) = delete;
  OutputWatch& operator=(const OutputWatch&) = delete;

  // Ends the watch. Once the container has stopped or is gone the Engine ends
  // the stream by itself; cancelling covers an Engine that does not.
  void finish() {
    cancel_ = true;
    if (thread_.joinable()) thread_.join();
  }

  // Read only after finish().
  std::string out, err;
  const char* over_limit = nullptr;  // the stream that passed the limit

 private:
  std::atomic<bool> cancel_{false};
  std::thread thread_;
};

// A killed container stops at once; a wait still open after this is stuck.
constexpr std::chrono::seconds kKilledWaitGrace{30};

// The Engine's wait blocks without a limit: it runs on a worker that can be
// given up on, so that a silent Engine cannot hold the run for ever.
class WaitWorker {
 public:
  WaitWorker(const docker::Client& client, const std::string& id) {
    std::packaged_task<long long()> task([&client, id, this] { return client.wait(id, &cancel_); });
    outcome_ = task.get_future();
    thread_ = std::thread(std::move(task));
  }
  ~WaitWorker() { finish(std::chrono::seconds(0)); }
  bool ready_within(std::chrono::duration<double> limit) {
    return outcome_.wait_for(limit) == std::future_status::ready;
  }
  // Joins the worker, giving the wait up unless it returns within `grace`.
  void finish(std::chrono::duration<double> grace) {
    if (!thread_.joinable()) return;
    if (!ready_within(grace)) cancel_ = true;
    thread_.join();
  }
  long long get() {
    finish(std::chrono::seconds(0));
    return outcome_.get();
  }

 private:
  std::atomic<bool> cancel_{false};
  std::future<long long> outcome_;
  std::thread thread_;
};

enum class WaitEnd { exited, timed_out, cancelled };

// Waits up to `limit` seconds for the container to stop; in short slices when
// the caller may cancel, so that a cancel is seen soon.
WaitEnd wait_for_exit(WaitWorker& waiter, double limit, const std::atomic<bool>* cancel) {
  using Clock = std::chrono::steady_clock;
  const Clock::duration whole = seconds_to_duration(limit);
  if (!cancel) return waiter.ready_within(whole) ? WaitEnd::exited : WaitEnd::timed_out;
  const auto deadline = Clock::now() + whole;
  for (;;) {
    if (cancel->load()) return WaitEnd::cancelled;
    const auto slice = std::min<Clock::duration>(deadline - Clock::now(), std::chrono::milliseconds(100));
    if (waiter.ready_within(std::max(slice, Clock::duration::zero()))) return WaitEnd::exited;
    if (Clock::now() >= deadline) return WaitEnd::timed_out;
  }
}

std::optional<std::string> short_text(const Value& full_id) {
  const Value id = Executor::_short_id(full_id);
  return id.is_string() ? std::optional<std::string>(id.get<std::string>()) : std::nullopt;
}

// A created container, force-removed when the lease ends. A removal that
// fails, or one not worth trying because the Engine is gone, goes to the
// reaper when there is one.
class ContainerLease {
 public:
  ContainerLease(docker::Client& client, ContainerReaper* reaper) : client_(client), reaper_(reaper) {}
  ~ContainerLease();
  ContainerLease(const ContainerLease&) = delete;
  ContainerLease& operator=(const ContainerLease&) = delete;

  void hold(const std::string& full_id) { id_ = full_id; }
  // The Engine stopped answering (`why`): a removal would only wait for its own time-out.
  void engine_lost(const std::string& why) { lost_ = why; }

 private:
  docker::Client& client_;
  ContainerReaper* const reaper_;
  std::optional<std::string> id_, lost_;
};

ContainerLease::~ContainerLease() {
  if (!id_) return;
  try {
    if (lost_ && reaper_) {
      reaper_->remove_later(*id_, *lost_);
      return;
    }
    try {
      client_.remove(*id_, true);
    } catch (const std::exception& e) {
      if (reaper_) reaper_->remove_later(*id_, e.what());
      else
        logger()->warn("Container " + short_text(Value(*id_)).value_or(*id_) + " could not be removed (" + e.what() + ")");
    }
  } catch (const std::exception&) {
    // Not even handed over: the reaper's sweep still finds it by its labels.
  }
}

// The steps of a container run whose failures become its result, from the
// run options to the removal of the container. Captured streams and volumes to
// keep go to the run directory, which the caller finishes.
class ContainerRun {
 public:
  ContainerRun(const RunContext& run, std::shared_ptr<docker::Client> client, ContainerReaper* reaper,
               const AliasDefinition& alias, const Value& params, const RunControl* control, RunDirectory& dir)
      : run_(run), client_(std::move(client)), reaper_(reaper), alias_(alias), params_(params), control_(control),
        dir_(dir) {}

  RunResult execute(const std::string& shared_dir);

 private:
  docker::RunOptions run_options(const std::string& shared_dir);
  void start_and_wait(docker::RunOptions options, ContainerLease& lease, std::optional<OutputWatch>& watch);
  // Kills a container that has not stopped by itself (time-out or cancel) and keeps its logs.
  void stop(WaitWorker& waiter, const std::string& id, WaitEnd why, const Value& timeout, uint64_t max_bytes);
  void completed(long long status, std::optional<OutputWatch>& watch, const std::string& id, uint64_t max_bytes);

  const RunContext& run_;
  std::shared_ptr<docker::Client> client_;
  ContainerReaper* const reaper_;
  const AliasDefinition& alias_;
  const Value& params_;
  const RunControl* const control_;
  RunDirectory& dir_;
  RunResult result_;
};

RunResult ContainerRun::execute(const std::string& shared_dir) {
  result_.runner = RunResult::Runner::container;
  std::optional<OutputWatch> watch;  // declared before the lease: a failed run's watch ends after the removal
  ContainerLease lease(*client_, reaper_);
  try {
    start_and_wait(run_options(shared_dir), lease, watch);
  } catch (const docker::ImageNotFound& e) {
    result_.outcome = Outcome::failed;
    result_.error = std::string("Container image not found: ") + e.what();
  } catch (const std::exception& e) {
    logger()->error(std::string("Container execution error: ") + e.what());
    if (docker::is_unreachable(e)) {
      // Same answer as an Engine that was unreachable from the start.
      lease.engine_lost(e.what());
      return RunResult::docker_unavailable(e.what());
    }
    result_.outcome = _failure_outcome(e);
    result_.error = e.what();
  }
  return std::move(result_);
}

docker::RunOptions ContainerRun::run_options(const std::string& shared_dir) {
  const TemplateRenderer& renderer = run_.renderer;
  std::optional<std::string> command;
  if (!alias_.command.empty()) command = renderer.render(alias_.command, params_);
  docker::RunOptions options{alias_.image, command, {}, {},
                             container_labels(run_.correlation_id.value_or(""), reaper_ ? reaper_->instance() : "")};
  for (const auto& [name, value] : alias_.environment)
    options.env.emplace_back(name, renderer.render(value, params_, dir_.path()));
  auto [volumes, specs] =
      _build_volumes(renderer, alias_, params_, dir_.path(), shared_dir, run_.settings->external_dir);
  dir_.preserve_specs = std::move(specs);
  for (auto it = volumes.begin(); it != volumes.end(); ++it)
    options.binds.push_back({it.key(), it.value().value("bind", ""), it.value().value("mode", "rw")});
  return options;
}

void ContainerRun::start_and_wait(docker::RunOptions options, ContainerLease& lease, std::optional<OutputWatch>& watch) {
  _precreate_output_dirs(run_.renderer, alias_, params_, dir_.path());
  const Value timeout = Executor::_resolve_timeout(alias_, *run_.settings);
  const double pull_elapsed =
      imagery::refresh_before_run(*client_, alias_, Value(run_.settings->refresh_image), timeout);
  const double remaining = std::max(0.0, (timeout.is_number() ? timeout.get<double>() : 60.0) - pull_elapsed);
  logger()->debug("Running container: image=" + quoted(options.image) + " cmd=" +
                  (options.command ? quoted(*options.command) : "None"));

  const std::string full_id = client_->run(options);
  lease.hold(full_id);
  result_.container_id = short_text(Value(full_id));
  try {
    const Value attrs = client_->inspect_container(full_id);
    if (attrs.is_object() && attrs.contains("Image")) result_.image_id = short_text(attrs["Image"]);
  } catch (const docker::DockerError&) {
  }
  const uint64_t max_bytes = run_.settings->max_output_bytes;
  watch.emplace(client_, full_id, max_bytes, control_ ? control_->on_output : OutputWatch::OnOutput());

  WaitWorker waiter(*client_, full_id);
  const WaitEnd end = wait_for_exit(waiter, remaining, control_ ? control_->cancel : nullptr);
  if (end != WaitEnd::exited) return stop(waiter, full_id, end, timeout, max_bytes);
  completed(waiter.get(), watch, full_id, max_bytes);
}

void ContainerRun::stop(WaitWorker& waiter, const std::string& id, WaitEnd why, const Value& timeout,
                        uint64_t max_bytes) {
  try {
    client_->kill(id);
  } catch (const std::exception& e) {
    if (docker::is_unreachable(e)) throw;  // the container's fate is unknown: not a time-out
  }
  std::tie(dir_.captured_stdout, dir_.captured_stderr) = Executor::_safe_container_logs(*client_, id, max_bytes);
  waiter.finish(kKilledWaitGrace);
  if (why == WaitEnd::cancelled) {
    result_.outcome = Outcome::cancelled;
    result_.error = kRunCancelledError;
    return;
  }
  result_.outcome = Outcome::timed_out;
  result_.error = "Container timed out after " + plain_decimal(timeout) + " seconds";
}

void ContainerRun::completed(long long status, std::optional<OutputWatch>& watch, const std::string& id,
                             uint64_t max_bytes) {
  watch->finish();
  if (watch->over_limit) {
    dir_.captured_stdout = to_utf8(std::move(watch->out));
    dir_.captured_stderr = to_utf8(std::move(watch->err));
    throw OutputLimitExceeded(watch->over_limit, max_bytes);
  }
  watch.reset();
  bool out_over = false, err_over = false;
  dir_.captured_stdout = to_utf8(client_->logs(id, true, false, max_bytes, out_over));
  dir_.captured_stderr = to_utf8(client_->logs(id, false, true, max_bytes, err_over));
  if (out_over || err_over) throw OutputLimitExceeded(out_over ? "stdout" : "stderr", max_bytes);
  result_.file_outputs = _collect_output_files(run_.renderer, alias_, params_, dir_.path(), max_bytes);
  result_.outcome = Outcome::success;
  result_.returncode = status;
  result_.out = *dir_.captured_stdout;
  result_.err = *dir_.captured_stderr;
}

}  // namespace

std::shared_ptr<docker::Client> Executor::_get_docker_client() {
  std::lock_guard<std::mutex> l(docker_mu_);
  if (!_docker_client) _docker_client = docker::Client::from_env();
  return _docker_client;
}

std::pair<std::optional<std::string>, std::optional<std::string>> Executor::_safe_container_logs(
    const docker::Client& client, const std::string& container_id, uint64_t max_bytes) {
  try {
    bool over = false;
    std::string out = to_utf8(client.logs(container_id, true, false, max_bytes, over));
    std::string err = to_utf8(client.logs(container_id, false, true, max_bytes, over));
    return {std::move(out), std::move(err)};
  } catch (const std::exception&) {
    return {std::nullopt, std::nullopt};
  }
}

RunResult Executor::_execute_container(const AliasDefinition& alias, const Value& params, const RunControl* control) {
  const RunContext run = run_context();
  const std::string shared_dir = _prepare_shared_dir(run);
  RunDirectory dir(run, shared_dir, alias);
  ContainerReaper* const reaper = reaper_.load();
  std::optional<ContainerReaper::Run> in_progress;
  if (reaper) in_progress.emplace(*reaper, run.correlation_id.value_or(""));

  std::shared_ptr<docker::Client> client;
  try {
    client = _get_docker_client();
  } catch (const std::exception& e) {
    logger()->error(std::string("Docker client unavailable: ") + e.what());
    return RunResult::docker_unavailable(e.what());  // nothing ran: nothing to keep
  }
  RunResult result = ContainerRun(run, std::move(client), reaper, alias, params, control, dir).execute(shared_dir);
  dir.finish(alias.stream_entries);
  return result;
}

}  // namespace portico
