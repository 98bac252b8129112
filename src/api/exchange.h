#pragma once
// One request and its answer as handlers see it. A handler may answer at once
// on the I/O thread, or keep the exchange and answer later from any thread
// (a run answers from the run pool); the connection keeps its own deadlines
// meanwhile.
//
// Thread rules: every member may be called from any thread. The request's
// fields are fixed before the handler first sees the exchange; principal and
// body are set by one step and read by the steps it starts.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/beast/http/fields.hpp>
#include <boost/beast/http/verb.hpp>

#include "api/answer.h"
#include "interfaces/auth_store.h"

namespace portico::api {

class Exchange;

// The connection behind an exchange; its calls post to the connection's strand.
class Connection {
 public:
  virtual ~Connection() = default;
  virtual void read_body(std::shared_ptr<Exchange> ex, std::function<void(int)> then) = 0;
  // The answer of the exchange in progress; the exchange has claimed it.
  virtual void send(Answer answer) = 0;
  virtual void watch_client(std::weak_ptr<Exchange> ex) = 0;
  virtual void close() = 0;
};

struct RequestLine {
  boost::beast::http::verb method;
  bool head = false;  // a HEAD request, routed as GET and answered without the body
  std::string target;  // as sent
  std::string path;    // the target before '?'
  std::string query;   // after '?', undecoded
  boost::beast::http::fields fields;
};

class Exchange : public std::enable_shared_from_this<Exchange> {
 public:
  using Clock = std::chrono::steady_clock;

  Exchange(std::shared_ptr<Connection> connection, RequestLine request, std::string client);
  ~Exchange();
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  const RequestLine& request() const { return request_; }
  // A header field's value, empty when absent.
  std::string_view field(std::string_view name) const;
  const std::string& correlation_id() const { return correlation_id_; }
  // The peer's address, as audit lines and sign-in throttling know it.
  const std::string& client() const { return client_; }
  Clock::time_point started() const { return started_; }

  // Decoded path parameters, in route order; set by the router.
  const std::vector<std::string>& params() const { return params_; }
  void set_params(std::vector<std::string> params) { params_ = std::move(params); }
  const std::optional<Principal>& principal() const { return principal_; }
  void set_principal(Principal p) { principal_ = std::move(p); }

  // Reads the body under the connection's limits and deadline, then calls
  // `then` on an I/O thread with 0, or with the status of the refusal the
  // connection has already answered (400, 408, 413). Not called at all when
  // the client went away.
  void read_body(std::function<void(int refused)> then);
  // After read_body's 0: the body, moved out.
  std::string take_body() { return std::move(body_); }

  // Answers; only the first answer counts. An exchange dropped without one
  // answers 500.
  void reply(Answer answer);
  // Until the answer is sent, notices a client that closes its side.
  void watch_client();
  bool client_gone() const { return gone_.load(); }
  // Ends the exchange without an answer and closes the connection.
  void abandon();

  // For the connection.
  bool claim_answer() { return !answered_.exchange(true); }
  void set_body(std::string body) { body_ = std::move(body); }
  void mark_gone() { gone_.store(true); }

 private:
  std::shared_ptr<Connection> connection_;
  RequestLine request_;
  std::string client_;
  std::string correlation_id_;
  Clock::time_point started_ = Clock::now();
  std::vector<std::string> params_;
  std::optional<Principal> principal_;
  std::string body_;
  std::atomic<bool> answered_{false};
  std::atomic<bool> gone_{false};
};

using ExchangePtr = std::shared_ptr<Exchange>;

// What the server calls for every request whose header has arrived and passed
// the limits; on an I/O thread, with the exchange's correlation id in scope.
class RequestHandler {
 public:
  virtual ~RequestHandler() = default;
  virtual void handle(const ExchangePtr& ex) = 0;
};

}  // namespace portico::api
