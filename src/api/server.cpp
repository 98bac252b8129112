// The listening socket, the I/O threads and the server's life: start, the
// connection cap, graceful shutdown.

#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>
#include <thread>

#include "api/api.h"
#include "api/gateway.h"
#include "api/session.h"
#include "common/text.h"
#include "logging/logging.h"

namespace portico {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using api::Limits;

Limits::Duration to_duration(const Seconds& s) {
  return std::chrono::duration_cast<Limits::Duration>(std::chrono::duration<double>(s.count()));
}

// The cap on connections is only reachable with descriptors to match.
void raise_open_files_limit(size_t max_connections) {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
  if (rl.rlim_cur < rl.rlim_max) {
    rlimit want = rl;
    want.rlim_cur = rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &want) == 0) rl = want;
  }
  app_log()->info("Open files limit: " + std::to_string(rl.rlim_cur));
  if (rl.rlim_cur != RLIM_INFINITY && max_connections + 256 > rl.rlim_cur)
    app_log()->warn("MaxConnections " + std::to_string(max_connections) + " is close to the open files limit " +
                    std::to_string(rl.rlim_cur) + ": runs may fail to open files when the connections are all taken");
}

std::string peer_address(const tcp::socket& s) {
  boost::system::error_code ec;
  auto ep = s.remote_endpoint(ec);
  if (ec) return "";
  auto addr = ep.address();
  if (addr.is_v6() && addr.to_v6().is_v4_mapped()) return net::ip::make_address_v4(net::ip::v4_mapped, addr.to_v6()).to_string();
  return addr.to_string();
}

// Beyond MaxConnections a new connection is told so and closed at once,
// without a session: it must cost nothing that could pile up.
void refuse_overload(tcp::socket& s, bool tls, api::Metrics& metrics) {
  metrics.count_refusal(503);
  boost::system::error_code ec;
  if (!tls) {
    const std::string body = R"({"error":"Too many connections"})";
    const std::string text = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nX-Correlation-ID: " +
                             uuid4() + "\r\nRetry-After: 1\r\nContent-Length: " + std::to_string(body.size()) +
                             "\r\nConnection: close\r\n\r\n" + body;
    [[maybe_unused]] auto sent = ::send(s.native_handle(), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    s.shutdown(tcp::socket::shutdown_send, ec);
    // What already arrived is read, so that closing does not reset the answer away.
    char buf[4096];
    for (int i = 0; i < 16 && ::recv(s.native_handle(), buf, sizeof buf, MSG_DONTWAIT) > 0; ++i) {
    }
  }
  s.close(ec);
}

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(std::vector<net::io_context*> contexts, tcp::acceptor acceptor, std::shared_ptr<api::ServerState> state,
           net::ssl::context* tls, size_t max_connections)
      : contexts_(std::move(contexts)),
        acceptor_(std::move(acceptor)),
        retry_(acceptor_.get_executor()),
        state_(std::move(state)),
        tls_(tls),
        max_connections_(max_connections) {}

  void start() { accept(); }

  // Then the drained callback; the connections end as their requests do.
  void stop(std::function<void()> drained) {
    net::post(acceptor_.get_executor(), [self = shared_from_this(), drained = std::move(drained)]() mutable {
      boost::system::error_code ec;
      self->acceptor_.close(ec);
      self->retry_.cancel();
      self->state_->stop(std::move(drained));
    });
  }

 private:
  void accept() {
    // Connections take turns among the I/O threads and stay on theirs.
    net::io_context& ioc = *contexts_[next_++ % contexts_.size()];
    acceptor_.async_accept(net::make_strand(ioc), [self = shared_from_this()](boost::system::error_code ec,
                                                                              tcp::socket socket) {
      self->on_accept(ec, std::move(socket));
    });
  }

  void on_accept(boost::system::error_code ec, tcp::socket socket) {
    if (!acceptor_.is_open()) return;
    if (ec == net::error::no_descriptors || ec == net::error::no_buffer_space || ec == net::error::no_memory) {
      // Out of descriptors: accepting again at once would spin.
      if (!warned_) app_log()->warn("Cannot accept connections: " + ec.message());
      warned_ = true;
      retry_.expires_after(std::chrono::milliseconds(100));
      retry_.async_wait([self = shared_from_this()](boost::system::error_code e) {
        if (!e && self->acceptor_.is_open()) self->accept();
      });
      return;
    }
    warned_ = false;
    if (!ec) {
      boost::system::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);  // answers are written in pieces; Nagle would hold the last
      if (state_->stopping() || state_->open() >= max_connections_) {
        refuse_overload(socket, tls_ != nullptr, state_->metrics);
      } else {
        std::string client = peer_address(socket);
        if (tls_) api::start_session(std::move(socket), *tls_, state_, std::move(client));
        else api::start_session(std::move(socket), state_, std::move(client));
      }
    }
    accept();
  }

  const std::vector<net::io_context*> contexts_;
  size_t next_ = 0;
  tcp::acceptor acceptor_;
  net::steady_timer retry_;
  std::shared_ptr<api::ServerState> state_;
  net::ssl::context* tls_;
  const size_t max_connections_;
  bool warned_ = false;
};

tcp::endpoint listen_endpoint(net::io_context& ioc, const std::string& address, int port) {
  boost::system::error_code ec;
  const auto addr = net::ip::make_address(address, ec);
  if (!ec) return {addr, static_cast<unsigned short>(port)};
  tcp::resolver resolver(ioc);
  const auto found = resolver.resolve(address, std::to_string(port), tcp::resolver::passive, ec);
  if (ec || found.empty())
    throw std::runtime_error("Cannot listen on " + address + ":" + std::to_string(port) + ": " +
                             (ec ? ec.message() : "no address"));
  return found.begin()->endpoint();
}

}  // namespace

struct HttpApiServer::Impl {
  const ConfigStore& config;
  AuthStore& auth;
  Logging& logging;
  Executor& executor;
  std::string version = "unknown";

  std::mutex mu;
  std::condition_variable cv;
  bool stop_requested = false;
  int bound_port = 0;
  std::function<void()> stop_serving;  // set while serving

  jobs::JobStore& jobs;

  Impl(const ConfigStore& c, AuthStore& a, Logging& l, Executor& e, jobs::JobStore& j)
      : config(c), auth(a), logging(l), executor(e), jobs(j) {}
};

HttpApiServer::HttpApiServer(const ConfigStore& config, AuthStore& auth, Logging& logging, Executor& executor,
                             jobs::JobStore& jobs)
    : impl_(std::make_unique<Impl>(config, auth, logging, executor, jobs)) {}

HttpApiServer::~HttpApiServer() = default;

void HttpApiServer::set_version(const std::string& version) { impl_->version = version; }

namespace {

api::Limits limits_of(const Settings& s) {
  Limits limits;
  limits.max_header_bytes = s.max_header_bytes;
  limits.max_body_bytes = s.max_request_bytes;
  limits.header_timeout = to_duration(s.request_header_timeout);
  limits.request_timeout = to_duration(s.request_timeout);
  limits.keepalive_timeout = to_duration(s.keepalive_timeout);
  return limits;
}

api::GatewayOptions options_of(const Settings& s, const std::string& version) {
  api::GatewayOptions options;
  options.run_threads = s.max_concurrent_runs;
  options.run_queue = s.max_queued_runs.value_or(options.run_threads);
  options.auth_failure_limit = s.auth_failure_limit;
  options.job_output_bytes = s.job_output_bytes;
  options.job_retention_days = s.job_retention_days;
  options.version = version;
  return options;
}

// Throws naming the files when they cannot be loaded.
std::unique_ptr<net::ssl::context> tls_context_of(const Settings& s) {
  const std::string cert = s.ssl_cert.value_or(""), key = s.ssl_key.value_or("");
  auto tls = std::make_unique<net::ssl::context>(net::ssl::context::tls_server);
  boost::system::error_code ec;
  tls->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                   net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 | net::ssl::context::no_tlsv1_1 |
                   net::ssl::context::single_dh_use);
  tls->use_certificate_chain_file(cert, ec);
  if (!ec) tls->use_private_key_file(key, net::ssl::context::pem, ec);
  if (ec) throw std::runtime_error("Cannot load TLS certificate " + cert + " and key " + key + ": " + ec.message());
  return tls;
}

}  // namespace

void HttpApiServer::start() {
  Impl& m = *impl_;
  const std::shared_ptr<const Settings> settings = m.config.settings();
  const Limits limits = limits_of(*settings);
  const api::GatewayOptions options = options_of(*settings, m.version);
  const size_t max_connections = settings->max_connections;
  const bool tls = settings->ssl_enabled;
  const std::unique_ptr<net::ssl::context> tls_context = tls ? tls_context_of(*settings) : nullptr;

  raise_open_files_limit(max_connections);
  // Declared before the I/O context: connections still open when it goes reach the gateway's metrics.
  api::Gateway gateway(m.config, m.auth, m.logging, m.executor, m.jobs, options);
  // One single-threaded I/O context per thread: a connection's handlers never
  // wake another thread, which a shared context does on every completion.
  const size_t io_threads = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 8);
  std::vector<std::unique_ptr<net::io_context>> contexts;
  std::vector<net::io_context*> context_ptrs;
  using Guard = net::executor_work_guard<net::io_context::executor_type>;
  std::vector<std::optional<Guard>> guards(io_threads);
  for (size_t i = 0; i < io_threads; ++i) {
    contexts.push_back(std::make_unique<net::io_context>(1));
    context_ptrs.push_back(contexts.back().get());
    guards[i].emplace(contexts.back()->get_executor());
  }
  net::io_context& ioc = *contexts.front();
  auto state = std::make_shared<api::ServerState>(limits, gateway, gateway.metrics());

  const std::string& address = settings->listen_address;
  const int port = settings->listen_port;
  tcp::acceptor acceptor(net::make_strand(ioc));
  boost::system::error_code ec;
  const tcp::endpoint endpoint = listen_endpoint(ioc, address, port);
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) throw std::runtime_error("Cannot listen on " + address + ":" + std::to_string(port) + ": " + ec.message());

  const int listener_port = acceptor.local_endpoint().port();
  auto listener = std::make_shared<Listener>(context_ptrs, std::move(acceptor), state, tls_context.get(),
                                             max_connections);
  {
    std::lock_guard<std::mutex> l(m.mu);
    if (m.stop_requested) return;
    m.bound_port = listener_port;
    m.stop_serving = [listener, &guards, &contexts, &gateway] {
      gateway.stop_jobs();
      listener->stop([&guards, &contexts] {
        for (size_t i = 0; i < contexts.size(); ++i) net::post(*contexts[i], [&guard = guards[i]] { guard.reset(); });
      });
    };
  }
  m.cv.notify_all();
  app_log()->info("Listening on " + std::string(tls ? "https" : "http") + "://" + address + ":" + std::to_string(port));
  listener->start();
  listener.reset();

  std::vector<std::thread> threads;
  for (size_t i = 1; i < io_threads; ++i)
    threads.emplace_back([&ctx = *contexts[i]] {
      pthread_setname_np(pthread_self(), "portico-io");
      ctx.run();
    });
  ioc.run();
  for (auto& t : threads) t.join();
  {
    std::lock_guard<std::mutex> l(m.mu);
    m.stop_serving = nullptr;
  }
  gateway.stop();
}

void HttpApiServer::graceful_shutdown() {
  std::function<void()> stop;
  {
    std::lock_guard<std::mutex> l(impl_->mu);
    if (impl_->stop_requested) return;
    impl_->stop_requested = true;
    stop = impl_->stop_serving;
  }
  if (stop) stop();  // else start() sees the flag before it serves
}

int HttpApiServer::wait_until_listening(int timeout_ms) const {
  std::unique_lock<std::mutex> l(impl_->mu);
  impl_->cv.wait_for(l, std::chrono::milliseconds(timeout_ms), [&] { return impl_->bound_port != 0; });
  return impl_->bound_port;
}

}  // namespace portico
