#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "common/duration.h"
#include "common/text.h"
#include "docker/docker.h"
#include "executor/executor.h"
#include "executor/files.h"
#include "executor/reaper.h"
#include "imagery/imagery.h"
#include "interfaces/interfaces.h"
#include "logging/logging.h"
#include "preserve/preserve.h"
#include "scratch/scratch.h"

namespace portico {
namespace {

// Follows a running container's output, keeping each stream up to
// `max_bytes`, and kills the container as soon as a stream passes that: an
// endless printer stops at once instead of at its time-out, and what it wrote
// need not be read from the Engine again. A watch that ends without seeing
// the limit passed decides nothing; the bounded reads after the run do.
class OutputWatch {
 public:
  OutputWatch(std::shared_ptr<docker::Client> client, std::string id, uint64_t max_bytes)
      : thread_([this, client = std::move(client), id = std::move(id), max_bytes] {
          try {
            client->watch_output(id, [&](bool is_stderr, std::string_view piece) {
              std::string& kept = is_stderr ? err : out;
              const uint64_t room = max_bytes - std::min<uint64_t>(kept.size(), max_bytes);
              kept.append(piece.substr(0, static_cast<size_t>(std::min<uint64_t>(piece.size(), room))));
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

ExecutionResult Executor::_execute_container(const Value& alias_cfg, const Value& params) {
  auto log = logger();
  const std::string shared_dir = _prepare_shared_dir();
  const std::string external_dir = config().settings()->external_dir;
  const std::optional<std::string> run_dir = _create_run_dir(shared_dir, alias_cfg);
  std::vector<PreserveSpec> preserve_specs;
  const auto stream_entries = preserve::expand_preserve_streams(alias_cfg.value("preserveStreams", Value()));
  Value container_id, image_id;
  std::optional<std::string> captured_stdout, captured_stderr;
  ContainerReaper* const reaper = reaper_.load();
  const std::string correlation_id = logging().get_correlation_id().value_or("");
  std::optional<ContainerReaper::Run> in_progress;
  if (reaper) in_progress.emplace(*reaper, correlation_id);

  std::shared_ptr<docker::Client> client;
  try {
    client = _get_docker_client();
  } catch (const std::exception& e) {
    log->error(std::string("Docker client unavailable: ") + e.what());
    if (run_dir) scratch::cleanup(run_dir);
    return result::failure(std::string("Docker not available: ") + e.what());
  }

  ExecutionResult result;
  std::optional<std::string> full_id;
  std::optional<OutputWatch> watch;  // ended only after the removal below in a failure
  std::optional<std::string> lost;   // why the Engine stopped answering mid-run
  try {
    const Value image_v = alias_cfg.value("image", Value());
    const std::string image = image_v.is_string() ? image_v.get<std::string>() : "";
    std::optional<std::string> command;
    const Value cmd_v = alias_cfg.value("command", Value());
    if (cmd_v.is_string() && !cmd_v.get<std::string>().empty()) command = renderer().render(cmd_v.get<std::string>(), params);
    docker::RunSpec run_spec{image, command, {}, {},
                             container_labels(correlation_id, reaper ? reaper->instance() : "")};
    const Value env = alias_cfg.value("environment", Value());
    if (env.is_object())
      for (auto it = env.begin(); it != env.end(); ++it)
        run_spec.env.emplace_back(it.key(), renderer().render(text_form(it.value()), params, run_dir));
    auto [volumes, specs] = _build_volumes(alias_cfg, params, run_dir, shared_dir, external_dir);
    preserve_specs = std::move(specs);
    for (auto it = volumes.begin(); it != volumes.end(); ++it)
      run_spec.binds.push_back({it.key(), it.value().value("bind", ""), it.value().value("mode", "rw")});
    _precreate_output_dirs(alias_cfg, params, run_dir);
    const Value timeout = _resolve_timeout(alias_cfg);
    const double pull_elapsed =
        imagery::refresh_before_run(*client, alias_cfg, Value(config().settings()->refresh_image), timeout);
    const double remaining = std::max(0.0, (timeout.is_number() ? timeout.get<double>() : 60.0) - pull_elapsed);
    log->debug("Running container: image=" + quoted(image) + " cmd=" + (command ? quoted(*command) : "None"));

    full_id = client->run(run_spec);
    container_id = _short_id(Value(*full_id));
    try {
      const Value attrs = client->inspect_container(*full_id);
      if (attrs.is_object() && attrs.contains("Image")) image_id = _short_id(attrs["Image"]);
    } catch (const docker::DockerError&) {
    }
    const uint64_t max_bytes = _max_output_bytes();
    watch.emplace(client, *full_id, max_bytes);

    WaitWorker waiter(*client, *full_id);
    if (!waiter.ready_within(seconds_to_duration(remaining))) {
      try {
        client->kill(*full_id);
      } catch (const std::exception& e) {
        if (docker::is_unreachable(e)) throw;  // the container's fate is unknown: not a time-out
      }
      std::tie(captured_stdout, captured_stderr) = _safe_container_logs(*client, *full_id, max_bytes);
      waiter.finish(kKilledWaitGrace);
      result = ExecutionResult::object();
      result["success"] = false;
      result["timed_out"] = true;
      result["returncode"] = nullptr;
      result["container_id"] = container_id;
      result["image_id"] = image_id;
      result["error"] = "Container timed out after " + plain_decimal(timeout) + " seconds";
    } else {
      const long long status = waiter.get();
      watch->finish();
      if (watch->over_limit) {
        captured_stdout = to_utf8(std::move(watch->out));
        captured_stderr = to_utf8(std::move(watch->err));
        throw OutputLimitExceeded(watch->over_limit, max_bytes);
      }
      watch.reset();
      bool out_over = false, err_over = false;
      captured_stdout = to_utf8(client->logs(*full_id, true, false, max_bytes, out_over));
      captured_stderr = to_utf8(client->logs(*full_id, false, true, max_bytes, err_over));
      if (out_over || err_over) throw OutputLimitExceeded(out_over ? "stdout" : "stderr", max_bytes);
      Value file_outputs = _collect_output_files(alias_cfg, params, run_dir, max_bytes);
      result = ExecutionResult::object();
      result["success"] = true;
      result["returncode"] = status;
      result["container_id"] = container_id;
      result["image_id"] = image_id;
      result["stdout"] = *captured_stdout;
      result["stderr"] = *captured_stderr;
      result["file_outputs"] = std::move(file_outputs);
    }
  } catch (const docker::ImageNotFound& e) {
    result = ExecutionResult::object();
    result["success"] = false;
    result["error"] = std::string("Container image not found: ") + e.what();
    result["container_id"] = container_id;
    result["image_id"] = image_id;
  } catch (const std::exception& e) {
    log->error(std::string("Container execution error: ") + e.what());
    if (docker::is_unreachable(e)) {
      // Same answer as an Engine that was unreachable from the start.
      lost = e.what();
      result = result::failure(std::string("Docker not available: ") + e.what());
    } else {
      result = ExecutionResult::object();
      result["success"] = false;
      result["error"] = e.what();
      result["container_id"] = container_id;
      result["image_id"] = image_id;
    }
  }
  if (full_id) {
    // A lost Engine would only make the removal wait for its own time-out: hand it over at once.
    if (lost && reaper) {
      reaper->remove_later(*full_id, *lost);
    } else {
      try {
        client->remove(*full_id, true);
      } catch (const std::exception& e) {
        if (reaper) reaper->remove_later(*full_id, e.what());
      }
    }
  }
  watch.reset();
  const Value log_dir(config().settings()->log_dir);
  preserve::preserve_streams(stream_entries, captured_stdout, captured_stderr, log_dir, logging().get_correlation_id());
  if (run_dir) {
    preserve::preserve_volumes(preserve_specs, log_dir, logging().get_correlation_id());
    scratch::cleanup(run_dir);
  }
  return result;
}

}  // namespace portico
