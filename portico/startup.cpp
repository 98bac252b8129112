#include "portico/startup.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "api/api.h"
#include "auth/auth.h"
#include "common/text.h"
#include "common/timestamp.h"
#include "config/config.h"
#include "docker/docker.h"
#include "executor/executor.h"
#include "executor/reaper.h"
#include "imagery/imagery.h"
#include "jobs/job_store.h"
#include "logging/logging.h"
#include "portico/cli.h"
#include "portico/notify.h"
#include "portico/process.h"
#include "portico/tls.h"
#include "template/template.h"
#include "watcher/reload.h"
#include "watcher/watcher.h"

namespace portico::app {
namespace {

// The components live for the whole process; exit actions may still log.
FileConfigStore g_config;
LoggingService g_logging;
TemplateEngine g_renderer;
std::string g_pid_path;

std::shared_ptr<const Settings> settings() { return g_config.settings(); }

// The start-up checks take null for a setting left absent.
template <class T>
Value or_null(const std::optional<T>& v) {
  return v ? Value(*v) : Value();
}

[[noreturn]] void refuse(const Errors& messages) {
  for (const auto& m : messages) {
    app_log()->error(m);
    std::fprintf(stderr, "ERROR: %s\n", m.c_str());
  }
  std::exit(1);
}

void remove_pid_at_exit() {
  if (!g_pid_path.empty()) _remove_pid(g_pid_path);
}

bool has_container_alias(const std::vector<Value>& aliases) {
  for (const auto& a : aliases)
    if (a.is_object() && a.value("type", Value()) == "container") return true;
  return false;
}

bool _docker_socket_available() {
  try {
    docker::Client::from_env()->ping();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

Errors _validate_docker_socket(const Value& container_setting, const std::vector<Value>& aliases) {
  if (!_is_running_in_container(container_setting) || !has_container_alias(aliases) || _docker_socket_available())
    return {};
  return {"Portico is running in a container and at least one alias has type 'container', but the Docker socket is "
          "not reachable. Mount the Docker socket (e.g. -v /var/run/docker.sock:/var/run/docker.sock)."};
}

// Names this gateway on the containers it starts. One PID file on one host
// runs one gateway at a time, so another gateway sharing the Engine never
// has the same name.
std::string _container_instance() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) std::snprintf(host, sizeof host, "localhost");
  std::error_code ec;
  const std::string pid_setting = settings()->pid_file;
  const auto pid_file = std::filesystem::absolute(pid_setting, ec);
  return std::string(host) + ":" + (ec ? pid_setting : pid_file.lexically_normal().string());
}

Errors _run_startup_imagery(const std::vector<Value>& aliases, const Value& refresh_default,
                            const Value& prefetch_default) {
  if (!has_container_alias(aliases)) return {};
  return imagery::startup_pull(aliases, refresh_default, prefetch_default);
}

// A half that fails keeps its old set; the other half is reloaded all the same.
void _do_reload(ConfigStore& config_instance, AuthStore& auth_instance) {
  reload_half(ConfigHalf::auth, config_instance, auth_instance, config_instance, "Auth reload: ");
  reload_half(ConfigHalf::aliases, config_instance, auth_instance, config_instance, "Alias reload: ");
}

// The signals the signal thread takes (SIGUSR2 ends it).
sigset_t service_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGHUP, SIGTERM, SIGINT, SIGUSR2}) sigaddset(&set, s);
  return set;
}

// Signals are taken by sigwait() on a thread of their own, so the handler
// bodies run as ordinary code: they may log, lock and start threads.
class SignalThread {
 public:
  SignalThread(AuthStore& auth, ApiServer& api, ServiceNotifier& notifier)
      : set_(service_signals()), auth_(auth), api_(api), notifier_(notifier) {
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    thread_ = std::thread([this] { loop(); });
  }

  ~SignalThread() {
    pthread_kill(thread_.native_handle(), SIGUSR2);
    thread_.join();
    for (auto& t : shutdown_threads_) t.join();
  }

 private:
  void loop() {
    for (;;) {
      int sig = 0;
      if (sigwait(&set_, &sig) != 0) continue;
      if (sig == SIGUSR2) return;
      try {
        if (sig == SIGHUP) on_sighup();
        else on_sigterm(sig);
      } catch (const std::exception& e) {
        app_log()->error(std::string("Signal handling failed: ") + e.what());
      }
    }
  }

  void on_sighup() {
    notifier_.reloading();
    app_log()->info("SIGHUP received — reopening log files and reloading configuration");
    // A log directory that cannot be written must not cost the reload: the
    // files that fail to reopen keep their previous descriptors.
    try {
      g_logging.reopen_logs();
    } catch (const std::exception& e) {
      app_log()->error(std::string("Cannot reopen log files: ") + e.what());
    }
    _do_reload(g_config, auth_);
    notifier_.reloaded();
  }

  void on_sigterm(int sig) {
    notifier_.stopping();
    const std::string sig_name = sig == SIGINT ? "SIGINT (Ctrl-C)" : "SIGTERM";
    app_log()->info(sig_name + " received — initiating graceful shutdown");
    config_watcher.stop();
    shutdown_threads_.emplace_back([this] {
      try {
        api_.graceful_shutdown();
      } catch (const std::exception& e) {
        app_log()->error(std::string("Graceful shutdown error: ") + e.what());
      }
    });
  }

  sigset_t set_;
  AuthStore& auth_;
  ApiServer& api_;
  ServiceNotifier& notifier_;
  std::thread thread_;
  std::vector<std::thread> shutdown_threads_;
};

// Loads users and aliases and checks everything start-up depends on; each
// problem is a refusal. Returns the job history's path, checked as well.
std::string load_and_check(FileAuthStore& auth) {
  auto log = app_log();
  const Errors auth_errors = auth.load_auth_config();
  if (!auth_errors.empty()) refuse(auth_errors);
  if (auth.user_count() == 0 && auth.public_key_count() == 0)
    refuse({"No authentication configured: no users and no JWT public keys found in " + settings()->auth_dir +
            ". At least one form of authentication is required."});

  auto [aliases, alias_errors] = g_config.load_aliases();
  if (!alias_errors.empty()) refuse(alias_errors);
  g_config.apply_aliases(aliases);
  if (g_config.get_all_aliases().empty())
    refuse({"No aliases configured in " + settings()->alias_dir + ". At least one alias is required."});

  const std::shared_ptr<const Settings> s = settings();
  const Value container_setting = or_null(s->container);
  if (auto w = _external_dir_startup_warning(container_setting, Value(s->external_dir))) log->warn(*w);
  const Errors docker_errors = _validate_docker_socket(container_setting, g_config.get_all_aliases());
  if (!docker_errors.empty()) refuse(docker_errors);
  const Errors pull_errors =
      _run_startup_imagery(g_config.get_all_aliases(), Value(s->refresh_image), Value(s->prefetch_image));
  if (!pull_errors.empty()) refuse(pull_errors);
  if (s->ssl_enabled) {
    const Errors ssl_errors = _validate_ssl(or_null(s->ssl_cert), or_null(s->ssl_key));
    if (!ssl_errors.empty()) refuse(ssl_errors);
  }

  // Changed container aliases are prefetched on reload; a failed pull of a new image keeps the old aliases.
  g_config.set_reload_hook([](const Value& before, const Value& after) {
    return imagery::reload_pull(before, after, Value(settings()->prefetch_image));
  });

  if (auto problem = process_spawner_problem()) refuse({*problem});
  // Checked before daemonising, so that the operator sees the refusal; opened
  // for use after it, since an SQLite connection must not cross a fork.
  const std::string job_db = path_join({s->log_dir, s->job_database});
  try {
    jobs::JobStore probe(job_db);
  } catch (const std::exception& e) {
    refuse({e.what()});
  }
  return job_db;
}

// Jobs an earlier process left queued or running can no longer end.
std::unique_ptr<jobs::JobStore> open_job_history(const std::string& path) {
  try {
    auto store = std::make_unique<jobs::JobStore>(path);
    if (const size_t n = store->interrupt_unfinished(utc_timestamp_ms()))
      app_log()->warn(std::to_string(n) + " jobs were still queued or running at the last stop; they are now interrupted");
    return store;
  } catch (const std::exception& e) {
    refuse({e.what()});
  }
}

int serve(const Args& args) {
  auto log = app_log();

  FileAuthStore auth([] { return settings()->auth_dir; });
  const std::string job_db = load_and_check(auth);

  const std::string instance = _container_instance();
  if (args.daemon) {
    _daemonize();
    log_alerts_to_syslog(true);
  }
  // After daemonising, so that the spawner is the daemon's own child, with its final standard streams.
  try {
    start_process_spawner(settings()->max_concurrent_runs);
  } catch (const std::exception& e) {
    refuse({e.what()});
  }
  const std::unique_ptr<jobs::JobStore> job_store = open_job_history(job_db);
  g_logging.start_flusher();
  config_watcher.start(g_config, auth);

  // Once the PID file exists, a script may signal at once: the signals wait,
  // blocked, for the signal thread instead of ending the process by default
  // and leaving the PID file behind.
  const sigset_t signals = service_signals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  g_pid_path = settings()->pid_file;
  _write_pid(g_pid_path);
  std::atexit(remove_pid_at_exit);
  g_config.record_startup_success();

  // Containers left by an earlier process go now; failed removals and
  // leftovers of this one as they happen. Without a container alias the
  // Engine is never contacted. Started after the last exit() of start-up:
  // exit() would not join its thread.
  ContainerReaper reaper([] { return executor._get_docker_client(); }, instance,
                         [] { return has_container_alias(g_config.get_all_aliases()); });
  executor.set_reaper(&reaper);
  struct Detach {
    ~Detach() { executor.set_reaper(nullptr); }
  } detach;
  reaper.start();

  HttpApiServer api(g_config, auth, g_logging, executor, *job_store);
  api.set_version(version());
  ServiceNotifier notifier;
  {
    SignalThread signals(auth, api, notifier);
    // Watchdog pings go out while the stores answer (each call takes their
    // locks), so a deadlocked store gets the service restarted.
    notifier.start([&api] { return api.wait_until_listening(0) != 0; },
                   [&auth] {
                     const Value status = g_config.status();
                     return status.is_object() && auth.user_count() + auth.public_key_count() > 0;
                   });
    api.start();
  }
  notifier.stopping();
  reaper.stop();
  log->info("Portico shutdown complete");
  g_logging.stop_flusher();
  return 0;
}

}  // namespace

int run(int argc, char** argv) {
  const ParseOutcome parsed = parse_args(argc, argv, stdout, stderr);
  if (parsed.exit_status >= 0) return parsed.exit_status;
  const Args& args = parsed.args;

  const bool config_is_default = !args.config.has_value();
  const std::string config_path = config_is_default ? DEFAULT_CONFIG : *args.config;
  struct stat st;
  if (!config_is_default && ::lstat(config_path.c_str(), &st) != 0) {
    const std::string msg = "Configuration file not found: " + config_path;
    std::fprintf(stderr, "ERROR: %s\n", msg.c_str());
    _log_pre_init_error(msg);
    return 1;
  }
  const auto startup_warning = _missing_config_warning(config_path, config_is_default);
  if (startup_warning) std::fprintf(stderr, "WARNING: %s\n", startup_warning->c_str());

  try {
    g_config.load(config_path, build_overrides(args));
  } catch (const ConfigError& e) {
    for (const auto& m : e.errors) std::fprintf(stderr, "CONFIG ERROR: %s\n", m.c_str());
    return 1;
  }
  const std::vector<std::string> config_warnings = g_config.load_warnings();
  for (const auto& w : config_warnings) std::fprintf(stderr, "WARNING: %s\n", w.c_str());

  g_logging.setup_logging(g_config);
  auto log = app_log();
  log->info("Portico version " + version() + " starting");
  log->info(_container_mode_description(or_null(settings()->container)));
  if (startup_warning) log->warn(*startup_warning);
  for (const auto& w : config_warnings) log->warn(w);
  return serve(args);
}

}  // namespace portico::app

namespace portico {

// The service's shared executor, wired to the components above. Defined after
// them, so it is built after them and destroyed before them.
Executor executor({app::g_config, app::g_config, app::g_renderer, app::g_logging});

}  // namespace portico
