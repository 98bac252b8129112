#include "integration/harness.h"

#include <arpa/inet.h>
#include <crypt.h>
#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <cstring>
#include <stdexcept>
#include <thread>

#include "common/internal.h"
#include "common/text.h"

extern char** environ;

namespace portico::test {
namespace {

pid_t spawn(const std::vector<std::string>& args, const std::string& out_path, const std::string& err_path,
            const std::map<std::string, std::string>& env_extra) {
  std::vector<std::string> argv_s{PORTICO_BINARY};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_s;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    if (!env_extra.count(entry.substr(0, entry.find('=')))) env_s.push_back(entry);
  }
  for (const auto& [k, v] : env_extra) env_s.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : env_s) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid;
  const int rc = posix_spawn(&pid, PORTICO_BINARY, &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) throw std::runtime_error(std::string("cannot start portico: ") + std::strerror(rc));
  return pid;
}

std::optional<int> wait_for(pid_t pid, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (std::chrono::steady_clock::now() > until) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

Exit run_portico(const std::vector<std::string>& args, int timeout_ms, const std::map<std::string, std::string>& env) {
  TempDir tmp;
  const pid_t pid = spawn(args, tmp / "out", tmp / "err", env);
  Exit e;
  auto st = wait_for(pid, std::chrono::milliseconds(timeout_ms));
  if (!st) {
    kill(pid, SIGKILL);
    st = wait_for(pid, std::chrono::seconds(5));
  }
  e.status = st.value_or(-1);
  e.out = slurp(tmp / "out");
  e.err = slurp(tmp / "err");
  return e;
}

int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

RawConnection::RawConnection(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    throw std::runtime_error(std::string("cannot connect: ") + std::strerror(errno));
}

RawConnection::~RawConnection() { close(); }

void RawConnection::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool RawConnection::send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string RawConnection::read_until_closed(std::chrono::milliseconds limit) {
  std::string out;
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!eof_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) eof_ = true;
    else out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

bool RawConnection::closed_by_server() {
  read_until_closed(std::chrono::milliseconds(0));
  return eof_;
}

std::vector<int> statuses(const std::string& raw) {
  std::vector<int> out;
  for (size_t at = raw.find("HTTP/1."); at != std::string::npos; at = raw.find("HTTP/1.", at + 1))
    if (at + 12 <= raw.size() && (at == 0 || raw[at - 1] == '\n' || raw[at - 1] == '}'))
      out.push_back(std::atoi(raw.substr(at + 9, 3).c_str()));
  return out;
}

std::string hash_password(const std::string& password) {
  crypt_data data{};
  const char* h = crypt_rn(password.c_str(), "$6$rounds=1000$portico$", &data, sizeof data);
  if (!h || h[0] == '*') throw std::runtime_error("crypt failed");
  return h;
}

std::string basic_auth(const std::string& user, const std::string& password) {
  return "Basic " + base64_encode(user + ":" + password);
}

Site::Site() : port_(free_port()) {
  settings_ = {
      {"ListenAddress", "127.0.0.1"},
      {"ListenPort", std::to_string(port_)},
      {"AuthDir", dir_ / "auth"},
      {"AliasDir", dir_ / "aliases"},
      {"SharedDir", dir_ / "shared"},
      {"LogDir", dir_ / "logs"},
      {"PidFile", dir_ / "portico.pid"},
      {"Container", "0"},
      {"LogLevel", "debug"},
      {"AuthReload", "0"},
      {"AliasReload", "0"},
  };
  std::filesystem::create_directories(dir_ / "aliases");
  std::filesystem::create_directories(dir_ / "auth");
}

void Site::write_conf() const {
  std::string text = "# written by the test\n";
  for (const auto& [k, v] : settings_) text += k + " " + v + "\n";
  dir_.write("portico.conf", text);
}

void Site::default_users() const {
  auth_file("users.yaml", "users:\n  alice:\n    password: \"" + hash_password("wonderland") +
                              "\"\n    aliases: \"*\"\n  bob:\n    password: \"" + hash_password("builder") +
                              "\"\n    aliases: [hello]\n");
}

std::string Site::app_log() const { return slurp(dir_ / "logs/app.log"); }

Server::Server(const Site& site, std::vector<std::string> extra_args, const std::map<std::string, std::string>& env)
    : site_(site) {
  site.write_conf();
  std::vector<std::string> args{"--config", site.conf_path()};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  err_path_ = site.path("stderr.txt");
  pid_ = spawn(args, site.path("stdout.txt"), err_path_, env);
}

Server::~Server() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGTERM);
    if (!wait_exit(std::chrono::seconds(10))) {
      ::kill(pid_, SIGKILL);
      wait_exit(std::chrono::seconds(5));
    }
  }
}

bool Server::wait_ready(std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < until) {
    if (wait_exit(std::chrono::milliseconds(0))) return false;
    httplib::Client c("127.0.0.1", site_.port());
    c.set_connection_timeout(std::chrono::milliseconds(200));
    if (auto r = c.Get("/health"); r && r->status == 200) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::unique_ptr<httplib::Client> Server::client() const {
  auto c = std::make_unique<httplib::Client>("127.0.0.1", site_.port());
  c->set_read_timeout(std::chrono::seconds(60));
  return c;
}

void Server::signal(int sig) const { ::kill(pid_, sig); }

std::optional<int> Server::wait_exit(std::chrono::milliseconds limit) {
  if (status_) return status_;
  status_ = wait_for(pid_, limit);
  return status_;
}

std::string Server::err() const { return slurp(err_path_); }

std::unique_ptr<Tmpfs> Tmpfs::mount(size_t bytes) {
  if (geteuid() != 0) return nullptr;
  std::string dir = (std::filesystem::temp_directory_path() / "portico-tmpfs-XXXXXX").string();
  if (!mkdtemp(dir.data())) return nullptr;
  const std::string opts = "size=" + std::to_string(bytes) + ",mode=0755";
  if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, opts.c_str()) != 0) {
    rmdir(dir.c_str());
    return nullptr;
  }
  return std::unique_ptr<Tmpfs>(new Tmpfs(dir));
}

Tmpfs::~Tmpfs() {
  uncover();
  umount2(dir_.c_str(), MNT_DETACH);
  rmdir(dir_.c_str());
}

void Tmpfs::cover_read_only() {
  if (::mount("tmpfs", dir_.c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0)
    throw std::runtime_error(std::string("cannot cover ") + dir_ + ": " + std::strerror(errno));
  covered_ = true;
}

void Tmpfs::uncover() {
  if (covered_) umount2(dir_.c_str(), MNT_DETACH);
  covered_ = false;
}

}  // namespace portico::test
