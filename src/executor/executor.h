#pragma once
// The single entry through which the service runs an alias.
//
// Thread rules: execute_alias() is called concurrently from request threads;
// the executor keeps no per-run state.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/value.h"
#include "interfaces/alias.h"
#include "executor/run_result.h"

namespace portico {

namespace docker { class Client; }
class ContainerReaper;
class AliasCatalog;
class Logging;
class SettingsSource;
class TemplateRenderer;
struct Settings;
struct RunContext;

// MaxOutputBytes when the configuration has none: the bound on each captured
// stream, file output and directory archive (before Base64) of a run.
inline constexpr uint64_t kDefaultMaxOutputBytes = uint64_t{64} << 20;
// How the `error` of a run whose output passed the bound begins.
inline constexpr std::string_view kOutputLimitError = "Output limit exceeded: ";

// The `error` of a cancelled run.
inline constexpr std::string_view kRunCancelledError = "Run cancelled";

// A stream or output passed MaxOutputBytes; what() reads
// "Output limit exceeded: <what> passed <limit> bytes".
class OutputLimitExceeded : public std::runtime_error {
 public:
  OutputLimitExceeded(const std::string& what, uint64_t limit);
};

// How a caller follows and stops one run; every part is optional.
struct RunControl {
  // Each piece of output as it is captured: "stdout" or "stderr", and the
  // bytes as kept (never past MaxOutputBytes), undecoded, so a piece may end
  // inside a UTF-8 sequence. Called on the run's thread for a process and on
  // the container's output thread for a container, one call at a time. It
  // must return quickly and not throw.
  std::function<void(std::string_view stream, std::string_view bytes)> on_output;
  // Once set (from any thread) the run ends soon as Outcome::cancelled: the
  // process's whole tree or the container is killed. Preservation and the
  // removal of the run directory still happen. A container is only stopped
  // once it has been started. Must outlive the run.
  const std::atomic<bool>* cancel = nullptr;
};

// What the executor reads from the rest of the service, from every run's
// thread at once; each must outlive it.
struct ExecutorServices {
  const AliasCatalog& aliases;       // alias definitions
  const SettingsSource& settings;    // read once as each run starts
  const TemplateRenderer& renderer;  // commands, environment, files, volumes and output paths
  const Logging& logging;            // the calling request's correlation id
};

class Executor {
 public:
  explicit Executor(const ExecutorServices& services) : services_(services) {}
  Executor(const Executor&) = delete;
  Executor& operator=(const Executor&) = delete;

  // Looks the alias up, completes and validates the parameters (`parameters`
  // may be null; the caller's value is never modified) and runs it. Unknown
  // alias, invalid parameters and unknown type are ordinary results; failures
  // of the configuration store or validator, of a run's preparation and of
  // stream preservation propagate.
  RunResult run(const std::string& alias_name, const Value& parameters, const RunControl* control = nullptr);
  // What run() would answer without running: an unknown alias or refused
  // parameters; none when it would run the alias now.
  std::optional<RunResult> check(const std::string& alias_name, const Value& parameters);
  // run() as the execution result map.
  ExecutionResult execute_alias(const std::string& alias_name, const Value& parameters) {
    return run(alias_name, parameters).to_value();
  }

  // Container runs label their containers with the reaper's instance, mark
  // themselves in progress and hand it removals that failed. Set it before
  // serving and clear it (nullptr) before the reaper goes; without one, a
  // failed removal is only ignored.
  void set_reaper(ContainerReaper* reaper) { reaper_.store(reaper); }

  // The alias's time-out (60 when missing, zero or false), capped by a
  // non-zero MaxTimeout. Returned as it came: integer or fractional.
  Value _resolve_timeout(const AliasDefinition& alias) const;
  // The same with the settings a run took as it started.
  static Value _resolve_timeout(const AliasDefinition& alias, const Settings& settings);
  // The 12-character short form of a Docker id ("sha256:" prefix dropped), or null.
  static Value _short_id(const Value& full_id);

  RunResult _execute_process(const AliasDefinition& alias, const Value& params, const RunControl* control = nullptr);
  RunResult _execute_container(const AliasDefinition& alias, const Value& params, const RunControl* control = nullptr);

  // The executor's Docker client, created from the environment on first use;
  // a failed creation throws and is tried again by the next container run.
  std::shared_ptr<docker::Client> _get_docker_client();
  // (stdout, stderr) of a container, each cut at `max_bytes`, or absent values
  // when they cannot be read.
  static std::pair<std::optional<std::string>, std::optional<std::string>> _safe_container_logs(
      const docker::Client& client, const std::string& container_id,
      uint64_t max_bytes = kDefaultMaxOutputBytes);

 private:
  // What a run starting now reads: the settings and the calling request's id.
  RunContext run_context() const;

  const ExecutorServices services_;
  std::atomic<ContainerReaper*> reaper_{nullptr};
  std::mutex docker_mu_;
  std::shared_ptr<docker::Client> _docker_client;
};

// The shared executor of the service. The program defines it beside the
// components it is wired to (portico/startup.cpp).
extern Executor executor;

// Process runs go through portico-spawner, a small single-threaded process
// (see executor/spawner.h). The gateway starts it once, after daemonising and
// before it starts any thread; without that call the first process run does.
// While idle, the spawner forks up to `reserve` run leaders ahead of demand
// (at most 256; 0 keeps its small default), so that as many runs starting at
// once need no fork of their own.
// Throws std::runtime_error naming the program when it cannot be started.
void start_process_spawner(size_t reserve = 0);
// Why the spawner program could not be started, or absent when it can; for a
// refusal while the terminal still shows it.
std::optional<std::string> process_spawner_problem();

}  // namespace portico
