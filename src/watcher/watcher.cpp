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
#include <ctime>
#include <stdexcept>
#include <vector>

#include "common/fd.h"
#include "common/text.h"
#include "common/thread.h"
#include "logging/logging.h"
#include "watcher/reload.h"

namespace portico {

ConfigWatcher config_watcher;

namespace {

using Clock = std::chrono::steady_clock;

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

  // An in-place save is a truncate and one or more writes: acting on the
  // first event would load the file half written. A directory is acted on
  // once it has been quiet for kSettleDelay (at most kMaxSettle after its
  // first event, so a file that never stops changing cannot starve reloads).
  struct Pending {
    Clock::time_point first, last;
    std::string source;
  };

  int poll_timeout_ms() const {
    if (pending_.empty()) return -1;
    auto due = Clock::time_point::max();
    for (const auto& [wd, p] : pending_) due = std::min(due, std::min(p.last + kSettleDelay, p.first + kMaxSettle));
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
  }

  void note(const Event& e) {
    const auto now = Clock::now();
    auto it = pending_.find(e.wd);
    if (it != pending_.end()) {
      it->second.last = now;  // any activity means the directory is not quiet yet
      if (!e.is_dir && _is_yaml(e.source)) it->second.source = e.source;
    } else if (!e.is_dir && _is_yaml(e.source)) {
      pending_[e.wd] = Pending{now, now, e.source};
    }
  }

  void act_on_settled() {
    const auto now = Clock::now();
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (now < it->second.last + kSettleDelay && now < it->second.first + kMaxSettle) {
        ++it;
        continue;
      }
      const auto target = targets_.find(it->first);
      const std::string source = std::move(it->second.source);
      it = pending_.erase(it);
      if (target != targets_.end()) owner_.on_event(target->second.auth, source);
    }
  }

  void loop() {
    alignas(inotify_event) char buf[64 * 1024];
    for (;;) {
      pollfd fds[2] = {{inotify_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
      if (poll(fds, 2, poll_timeout_ms()) < 0) {
        if (errno == EINTR) continue;
        throw std::system_error(errno, std::generic_category(), "poll");
      }
      if (fds[1].revents) return;
      if (fds[0].revents) {
        const ssize_t n = ::read(inotify_.get(), buf, sizeof buf);
        if (n <= 0) {
          if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
          throw std::system_error(errno, std::generic_category(), "read inotify");
        }
        for (const Event& e : decode(buf, static_cast<size_t>(n)))
          if (targets_.count(e.wd)) note(e);
      }
      act_on_settled();
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
  std::map<int, Pending> pending_;  // watch -> events not yet acted on
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
  const std::shared_ptr<const Settings> settings = _config->settings();
  const double auth_reload = settings->auth_reload.count();
  const double alias_reload = settings->alias_reload.count();
  auth_dir_ = settings->auth_dir;
  alias_dir_ = settings->alias_dir;
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
    pthread_setname_np(pthread_self(), std::string(kThreadName).substr(0, 15).c_str());
    try {
      _poll_loop(auth_reload, alias_reload, auth_dir_, alias_dir_);
    } catch (const std::exception& e) {
      app_log()->error(std::string("Config watcher polling stopped: ") + e.what());
    }
  });
  log->info("Config watcher started (AuthReload=" + plain_decimal(settings->auth_reload.value()) +
            "s, AliasReload=" + plain_decimal(settings->alias_reload.value()) + "s)");
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

bool ConfigWatcher::_settling(const Snapshot& snap) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  const double now = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  const double settle = std::chrono::duration<double>(kSettleDelay).count();
  // A time in the future (clock skew, touch -d) is not "being written": it would never settle.
  for (const auto& [path, mtime] : snap)
    if (mtime <= now && now - mtime < settle) return true;
  return false;
}

void ConfigWatcher::_poll_loop(double auth_reload, double alias_reload, std::string auth_dir, std::string alias_dir) {
  auto last_auth = Clock::now(), last_alias = Clock::now();
  // One directory's periodic check; `last` stays put while a file is still
  // being written, so the check comes back at the next wake-up.
  auto check = [this](bool auth, double interval, const std::string& dir, Clock::time_point& last) {
    if (interval == 0 || std::chrono::duration<double>(Clock::now() - last).count() < interval) return;
    bool changed = false;
    {
      std::lock_guard<std::mutex> l(auth ? _auth_lock : _alias_lock);
      Snapshot& known = auth ? _auth_mtimes : _alias_mtimes;
      Snapshot fresh = _snapshot(dir);
      if (fresh != known) {
        if (_settling(fresh)) return;
        known = std::move(fresh);
        changed = true;
      }
    }
    if (changed) {
      app_log()->info(auth ? "Auth directory change detected (periodic check), reloading"
                           : "Alias directory change detected (periodic check), reloading");
      if (auth) _reload_auth();
      else _reload_aliases();
    }
    last = Clock::now();
  };
  for (;;) {
    {
      std::unique_lock<std::mutex> l(stop_mu_);
      if (stop_cv_.wait_for(l, std::chrono::seconds(1), [this] { return _stop; })) return;
    }
    check(true, auth_reload, auth_dir, last_auth);
    check(false, alias_reload, alias_dir, last_alias);
  }
}

void ConfigWatcher::_reload_auth() { reload_half(ConfigHalf::auth, *_config, *_auth, *_config, "Auth reload error: "); }

void ConfigWatcher::_reload_aliases() { reload_half(ConfigHalf::aliases, *_config, *_auth, *_config, "Alias reload error: "); }

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
