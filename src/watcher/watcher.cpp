#include "watcher/watcher.h"

#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "common/fd.h"
#include "common/text.h"
#include "common/thread.h"
#include "logging/logging.h"

namespace portico {

ConfigWatcher config_watcher;

namespace {

double as_interval(const Value& v) {
  if (v.is_number()) return v.get<double>() > 0 ? v.get<double>() : 0.0;
  return 0.0;
}

std::string as_dir(const Value& v) { return v.is_string() ? v.get<std::string>() : std::string(); }

}  // namespace

// inotify on both directories, with a thread of its own that turns kernel
// events into created / deleted / modified / moved events for files.
class ConfigWatcher::Observer {
 public:
  explicit Observer(ConfigWatcher& owner) : owner_(owner) {
    const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "inotify_init1");
    inotify_.reset(fd);
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    wake_.reset(wake);
  }

  ~Observer() { stop(); }

  void watch(const std::string& dir, bool auth) {
    constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO |
                               IN_ONLYDIR | IN_EXCL_UNLINK;
    const int wd = inotify_add_watch(inotify_.get(), dir.c_str(), kMask);
    if (wd < 0) throw std::runtime_error(std::string(std::strerror(errno)) + ": " + quoted(dir));
    targets_[wd] = {dir, auth};
  }

  void start() {
    thread_ = start_quiet_thread([this] {
      pthread_setname_np(pthread_self(), "portico-inotify");
      try {
        loop();
      } catch (const std::exception& e) {
        app_log()->error(std::string("OS file watcher stopped: ") + e.what());
      }
    });
  }

  void stop() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
    if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
    else thread_.join();
  }

 private:
  struct Target {
    std::string dir;
    bool auth;
  };
  struct Event {
    int wd;
    bool is_dir;
    std::string source;
  };

  void loop() {
    alignas(inotify_event) char buf[64 * 1024];
    for (;;) {
      pollfd fds[2] = {{inotify_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        throw std::system_error(errno, std::generic_category(), "poll");
      }
      if (fds[1].revents) return;
      const ssize_t n = ::read(inotify_.get(), buf, sizeof buf);
      if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        throw std::system_error(errno, std::generic_category(), "read inotify");
      }
      for (const Event& e : decode(buf, static_cast<size_t>(n))) {
        if (e.is_dir) continue;
        auto it = targets_.find(e.wd);
        if (it == targets_.end()) continue;
        owner_.on_event(it->second.auth, e.source);
      }
    }
  }

  // A rename within a directory arrives as MOVED_FROM + MOVED_TO with one
  // cookie: that is one "moved" event whose source is the old name.
  std::vector<Event> decode(const char* buf, size_t len) {
    std::vector<Event> out;
    std::map<uint32_t, size_t> moves;  // cookie -> index of its MOVED_FROM
    for (size_t off = 0; off < len;) {
      const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
      off += sizeof(inotify_event) + ev->len;
      if (ev->mask & IN_Q_OVERFLOW) {
        // Events were lost: let every target re-check itself.
        for (const auto& [wd, t] : targets_) out.push_back({wd, false, path_join({t.dir, "overflow.yaml"})});
        continue;
      }
      if (!ev->len) continue;
      auto t = targets_.find(ev->wd);
      if (t == targets_.end()) continue;
      const std::string path = path_join({t->second.dir, ev->name});
      const bool is_dir = ev->mask & IN_ISDIR;
      if (ev->mask & IN_MOVED_TO) {
        auto m = moves.find(ev->cookie);
        if (m != moves.end() && out[m->second].wd == ev->wd) continue;  // the pair's FROM already carries it
      }
      if (ev->mask & IN_MOVED_FROM) moves[ev->cookie] = out.size();
      out.push_back({ev->wd, is_dir, path});
    }
    return out;
  }

  ConfigWatcher& owner_;
  UniqueFd inotify_, wake_;
  std::map<int, Target> targets_;
  std::thread thread_;
};

ConfigWatcher::ConfigWatcher() = default;

ConfigWatcher::~ConfigWatcher() { stop(); }

bool ConfigWatcher::_is_yaml(std::string_view path) {
  auto ends = [&](std::string_view s) { return path.size() >= s.size() && path.substr(path.size() - s.size()) == s; };
  return ends(".yaml") || ends(".yml");
}

Snapshot ConfigWatcher::_snapshot(const std::string& directory) {
  Snapshot snap;
  if (directory.empty()) return snap;
  DIR* d = ::opendir(directory.c_str());
  if (!d) return snap;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (!_is_yaml(name)) continue;
    const std::string path = path_join({directory, name});
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) continue;
    snap[path] = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
  }
  ::closedir(d);
  return snap;
}

bool ConfigWatcher::_has_changed(const std::string& directory, Snapshot& known) {
  Snapshot fresh = _snapshot(directory);
  if (fresh == known) return false;
  known = std::move(fresh);
  return true;
}

void ConfigWatcher::start(ConfigStore& config_instance, AuthStore& auth_instance) {
  _config = &config_instance;
  _auth = &auth_instance;
  const double auth_reload = as_interval(_config->get("AuthReload"));
  const double alias_reload = as_interval(_config->get("AliasReload"));
  auth_dir_ = as_dir(_config->get("AuthDir"));
  alias_dir_ = as_dir(_config->get("AliasDir"));
  auto log = app_log();
  if (auth_reload == 0 && alias_reload == 0) {
    log->info("Config auto-reload disabled (AuthReload=0, AliasReload=0)");
    return;
  }
  if (auth_reload != 0) {
    std::lock_guard<std::mutex> l(_auth_lock);
    _auth_mtimes = _snapshot(auth_dir_);
  }
  if (alias_reload != 0) {
    std::lock_guard<std::mutex> l(_alias_lock);
    _alias_mtimes = _snapshot(alias_dir_);
  }
  _start_os_watcher(auth_dir_, alias_dir_, auth_reload, alias_reload);
  _thread = start_quiet_thread([this, auth_reload, alias_reload] {
    pthread_setname_np(pthread_self(), std::string(THREAD_NAME).substr(0, 15).c_str());
    try {
      _poll_loop(auth_reload, alias_reload, auth_dir_, alias_dir_);
    } catch (const std::exception& e) {
      app_log()->error(std::string("Config watcher polling stopped: ") + e.what());
    }
  });
  const Value a = _config->get("AuthReload"), b = _config->get("AliasReload");
  log->info("Config watcher started (AuthReload=" + (a.is_number() ? plain_decimal(a) : "0") +
            "s, AliasReload=" + (b.is_number() ? plain_decimal(b) : "0") + "s)");
}

void ConfigWatcher::_start_os_watcher(const std::string& auth_dir, const std::string& alias_dir, double auth_reload,
                                      double alias_reload) {
  auto log = app_log();
  const char* off = std::getenv("PORTICO_DISABLE_INOTIFY");  // test seam: a system without inotify
  std::unique_ptr<Observer> observer;
  try {
    if (off && *off && std::string(off) != "0") throw std::system_error(ENOSYS, std::generic_category());
    observer = std::make_unique<Observer>(*this);
  } catch (const std::system_error& e) {
    if (e.code().value() == ENOSYS) {
      log->warn("watchdog not available; using periodic polling only");
      return;
    }
    log->warn(std::string("OS file watcher failed to start (") + e.what() + "); using periodic polling only");
    return;
  }
  try {
    if (auth_reload != 0 && !auth_dir.empty()) observer->watch(auth_dir, true);
    if (alias_reload != 0 && !alias_dir.empty()) observer->watch(alias_dir, false);
    observer->start();
  } catch (const std::exception& e) {
    log->warn(std::string("OS file watcher failed to start (") + e.what() + "); using periodic polling only");
    return;
  }
  {
    std::lock_guard<std::mutex> l(stop_mu_);
    _observer = std::move(observer);
  }
  log->info("OS file watcher started (watchdog)");
}

void ConfigWatcher::on_event(bool auth, const std::string& source_path) {
  if (!_is_yaml(source_path)) return;
  bool changed;
  {
    std::lock_guard<std::mutex> l(auth ? _auth_lock : _alias_lock);
    changed = _has_changed(auth ? auth_dir_ : alias_dir_, auth ? _auth_mtimes : _alias_mtimes);
  }
  if (!changed) return;
  app_log()->info(std::string(auth ? "Auth file event: " : "Alias file event: ") + source_path);
  if (auth) _reload_auth();
  else _reload_aliases();
}

void ConfigWatcher::_poll_loop(double auth_reload, double alias_reload, std::string auth_dir, std::string alias_dir) {
  using Clock = std::chrono::steady_clock;
  auto seconds_since = [](Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); };
  auto last_auth = Clock::now(), last_alias = Clock::now();
  for (;;) {
    {
      std::unique_lock<std::mutex> l(stop_mu_);
      if (stop_cv_.wait_for(l, std::chrono::seconds(1), [this] { return _stop; })) return;
    }
    if (auth_reload != 0 && seconds_since(last_auth) >= auth_reload) {
      bool changed;
      {
        std::lock_guard<std::mutex> l(_auth_lock);
        changed = _has_changed(auth_dir, _auth_mtimes);
      }
      if (changed) {
        app_log()->info("Auth directory change detected (periodic check), reloading");
        _reload_auth();
      }
      last_auth = Clock::now();
    }
    if (alias_reload != 0 && seconds_since(last_alias) >= alias_reload) {
      bool changed;
      {
        std::lock_guard<std::mutex> l(_alias_lock);
        changed = _has_changed(alias_dir, _alias_mtimes);
      }
      if (changed) {
        app_log()->info("Alias directory change detected (periodic check), reloading");
        _reload_aliases();
      }
      last_alias = Clock::now();
    }
  }
}

void ConfigWatcher::_reload_auth() {
  const Errors errs = _auth->load_auth_config();
  auto log = app_log();
  for (const auto& e : errs) log->error("Auth reload error: " + e);
  if (errs.empty()) log->info("Auth configuration reloaded successfully");
  _config->record_auth_reload(errs.empty());
}

void ConfigWatcher::_reload_aliases() {
  const Errors errs = _config->reload_aliases();
  auto log = app_log();
  for (const auto& e : errs) log->error("Alias reload error: " + e);
  if (errs.empty()) log->info("Alias configuration reloaded successfully");
  _config->record_alias_reload(errs.empty());
}

void ConfigWatcher::stop() {
  std::unique_ptr<Observer> observer;
  {
    std::lock_guard<std::mutex> l(stop_mu_);
    _stop = true;
    observer = std::move(_observer);
  }
  stop_cv_.notify_all();
  if (observer) observer->stop();
  if (_thread.joinable()) {
    if (_thread.get_id() == std::this_thread::get_id()) _thread.detach();
    else _thread.join();
  }
}

bool ConfigWatcher::polling() const { return _thread.joinable(); }

bool ConfigWatcher::observing() const {
  std::lock_guard<std::mutex> l(stop_mu_);
  return _observer != nullptr;
}

}  // namespace portico
