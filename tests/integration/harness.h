#pragma once
// Runs the real `portico` program the way an operator would: a configuration
// directory, a command line, signals, HTTP over loopback.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/support.h"

namespace httplib { class Client; }

namespace portico::test {

// Result of a program run that ended.
struct Exit {
  int status = -1;  // exit status, or 128+signal
  std::string out, err;
};

// Runs portico with the arguments to completion (bounded wait).
Exit run_portico(const std::vector<std::string>& args, int timeout_ms = 20000,
                 const std::map<std::string, std::string>& env = {});

// A free TCP port on 127.0.0.1.
int free_port();

// A sha512-crypt hash of the password, cheap enough for tests.
std::string hash_password(const std::string& password);

std::string basic_auth(const std::string& user, const std::string& password);

// A complete configuration under a temporary directory: portico.conf, aliases/,
// auth/, logs/, shared/ and the PID file path.
class Site {
 public:
  Site();
  const TempDir& dir() const { return dir_; }
  std::string path(const std::string& rel) const { return dir_ / rel; }
  std::string conf_path() const { return dir_ / "portico.conf"; }
  int port() const { return port_; }

  // Extra or replaced `Key value` lines of portico.conf.
  void set(const std::string& key, const std::string& value) { settings_[key] = value; }
  void write_conf() const;
  void alias_file(const std::string& name, const std::string& yaml) const { dir_.write("aliases/" + name, yaml); }
  void auth_file(const std::string& name, const std::string& yaml) const { dir_.write("auth/" + name, yaml); }
  // A user "alice" (password "wonderland") who may run everything, and "bob"
  // ("builder") who may run only "hello".
  void default_users() const;
  std::string app_log() const;

 private:
  TempDir dir_;
  int port_;
  std::map<std::string, std::string> settings_;
};

// One TCP connection driven byte by byte, as a hostile or unusual client would.
class RawConnection {
 public:
  explicit RawConnection(int port);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // False once the peer has gone (never raises SIGPIPE).
  bool send(const std::string& bytes);
  // What arrives until the server closes or `limit` passes.
  std::string read_until_closed(std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Whether the server has closed the connection (reads and discards what is pending).
  bool closed_by_server();
  void close();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  bool eof_ = false;
};

// The status codes of every response in `raw`, in order.
std::vector<int> statuses(const std::string& raw);

// A running portico; stopped with SIGTERM (then SIGKILL) when destroyed.
class Server {
 public:
  // `env` adds to (or replaces in) the test's own environment.
  explicit Server(const Site& site, std::vector<std::string> extra_args = {},
                  const std::map<std::string, std::string>& env = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // True once /health answers; false when the process ended first.
  bool wait_ready(std::chrono::milliseconds limit = std::chrono::seconds(15));
  pid_t pid() const { return pid_; }
  std::unique_ptr<httplib::Client> client() const;
  // Sends a signal; with wait, waits for the exit and returns its status.
  void signal(int sig) const;
  std::optional<int> wait_exit(std::chrono::milliseconds limit);
  std::string err() const;

 private:
  const Site& site_;
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string err_path_;
};

// A small tmpfs of its own, for a log directory that fills up or turns
// read-only. Needs root (the suite's normal case here); absent otherwise.
class Tmpfs {
 public:
  static std::unique_ptr<Tmpfs> mount(size_t bytes);
  ~Tmpfs();
  const std::string& path() const { return dir_; }
  // Another tmpfs, read-only, mounted over this one: files already open
  // stay writable, nothing new can be created at the path.
  void cover_read_only();
  void uncover();

 private:
  explicit Tmpfs(std::string dir) : dir_(std::move(dir)) {}
  std::string dir_;
  bool covered_ = false;
};

}  // namespace portico::test
