#pragma once
// Connections: each is served on its own strand by the I/O threads and costs
// a socket and a small buffer while idle, never a thread. The whole header
// must arrive within one deadline and the whole request within another; an
// idle keep-alive connection closes after a third. Limits on sizes come
// before any handler sees the request and before any body is read.
//
// Thread rules: ServerState may be used from any thread; start_session() from
// the accepting thread.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include "api/exchange.h"
#include "api/metrics.h"

namespace portico::api {

struct Limits {
  using Duration = std::chrono::steady_clock::duration;
  size_t max_header_bytes = 16 * 1024;
  size_t max_body_bytes = 1 << 20;
  size_t max_target_bytes = 8 * 1024;
  Duration header_timeout = std::chrono::seconds(10);
  Duration request_timeout = std::chrono::seconds(30);
  Duration keepalive_timeout = std::chrono::seconds(5);
  // A client that takes no answer bytes for this long is dropped.
  Duration send_stall_timeout = std::chrono::seconds(60);
  // How long a closing connection keeps reading and discarding what its
  // client still sends, so that the client sees the answer and not a reset.
  Duration linger = std::chrono::seconds(2);
};

// A connection as the server knows it: it can be asked to stop.
class SessionBase : public Connection {
 public:
  // Closes at once unless a request is being handled; that one is answered,
  // then the connection closes.
  virtual void stop() = 0;
};

class ServerState {
 public:
  ServerState(Limits limits, RequestHandler& handler, Metrics& metrics)
      : limits(limits), handler(handler), metrics(metrics) {}

  const Limits limits;
  RequestHandler& handler;
  Metrics& metrics;

  size_t open() const;
  bool stopping() const;
  // Stops every connection; `drained` runs once, when none is left.
  void stop(std::function<void()> drained);

  void enter(SessionBase* key, std::weak_ptr<SessionBase> session);
  void leave(SessionBase* key);

 private:
  mutable std::mutex mu_;
  std::unordered_map<SessionBase*, std::weak_ptr<SessionBase>> live_;
  bool stopping_ = false;
  std::function<void()> drained_;
};

// Serves a plain connection, or a TLS one after its handshake.
void start_session(boost::asio::ip::tcp::socket socket, std::shared_ptr<ServerState> state, std::string client);
void start_session(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context& tls,
                   std::shared_ptr<ServerState> state, std::string client);

}  // namespace portico::api
