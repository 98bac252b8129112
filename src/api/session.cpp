#include "api/session.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <optional>
#include <string_view>

#include "common/text.h"
#include "logging/logging.h"

namespace portico::api {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr size_t kIdleRead = 1024;
constexpr size_t kHeaderRead = 4096;
constexpr size_t kPiece = 64 * 1024;
// Method, spaces and version around a target in the request line.
constexpr size_t kRequestLineSlack = 64;

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Chunked is the only transfer coding taken, alone and without a length:
// anything else could be framed differently by a proxy in front of us.
bool framing_ok(const http::fields& f) {
  const auto te = f.equal_range(http::field::transfer_encoding);
  const auto n = std::distance(te.first, te.second);
  if (n == 0) return true;
  return n == 1 && f.count(http::field::content_length) == 0 && beast::iequals(trim(te.first->value()), "chunked");
}

bool client_left(const beast::error_code& ec) {
  return ec == http::error::end_of_stream || ec == http::error::partial_message ||
         ec.category() != beast::error_code(http::error::end_of_stream).category();
}

template <class Stream>
constexpr bool kTls = !std::is_same_v<Stream, tcp::socket>;

template <class Stream>
class Session final : public SessionBase, public std::enable_shared_from_this<Session<Stream>> {
 public:
  Session(Stream stream, std::shared_ptr<ServerState> state, std::string client)
      : stream_(std::move(stream)),
        timer_(stream_.get_executor()),
        buffer_(state->limits.max_header_bytes + kHeaderRead),
        state_(std::move(state)),
        limits_(state_->limits),
        client_(std::move(client)) {}

  ~Session() override { state_->leave(this); }

  void start() {
    state_->enter(this, this->weak_from_this());
    net::dispatch(stream_.get_executor(), [self = this->shared_from_this()] { self->begin(); });
  }

  void read_body(std::shared_ptr<Exchange> ex, std::function<void(int)> then) override {
    post([ex = std::move(ex), then = std::move(then)](Session& s) mutable { s.on_read_body(std::move(ex), std::move(then)); });
  }
  void send(Answer answer) override {
    post([answer = std::move(answer)](Session& s) mutable { s.on_send(std::move(answer)); });
  }
  void watch_client(std::weak_ptr<Exchange> ex) override {
    post([ex = std::move(ex)](Session& s) { s.on_watch(ex); });
  }
  void close() override {
    post([](Session& s) { s.close_now(); });
  }
  void stop() override {
    post([](Session& s) {
      if (s.phase_ != Phase::Handling && s.phase_ != Phase::Writing) s.close_now();
    });
  }

 private:
  enum class Phase { Handshake, Idle, Header, Body, Handling, Writing, Linger, Closed };

  template <class F>
  void post(F f) {
    net::post(stream_.get_executor(), [self = this->shared_from_this(), f = std::move(f)]() mutable { f(*self); });
  }

  tcp::socket& socket() { return beast::get_lowest_layer(stream_); }

  void begin() {
    const auto now = Clock::now();
    header_deadline_ = now + limits_.header_timeout;
    request_deadline_ = now + limits_.request_timeout;
    arm(std::min(header_deadline_, request_deadline_));
    if constexpr (kTls<Stream>) {
      phase_ = Phase::Handshake;
      stream_.async_handshake(net::ssl::stream_base::server, [self = this->shared_from_this()](beast::error_code ec) {
        if (self->phase_ == Phase::Closed) return;
        if (ec) return self->close_now();
        self->wait_for_request();
      });
    } else {
      wait_for_request();
    }
  }

  // ---- deadlines

  void arm(Clock::time_point at) {
    timer_.expires_at(at);
    timer_.async_wait([self = this->shared_from_this()](beast::error_code ec) { self->on_timer(ec); });
  }

  void on_timer(beast::error_code ec) {
    if (ec == net::error::operation_aborted || phase_ == Phase::Closed || timer_.expiry() > Clock::now()) return;
    switch (phase_) {
      case Phase::Idle:
      case Phase::Header:
      case Phase::Body:
        // The pending read ends with an error; its handler answers.
        timed_out_ = true;
        socket().cancel(ec);
        return;
      case Phase::Handling:
        return;
      default:
        close_now();
    }
  }

  void on_timeout() {
    timed_out_ = false;
    if (phase_ == Phase::Body) return refuse_body(408, "Request timed out");
    const bool partial = buffer_.size() > 0 || (parser_ && parser_->got_some());
    if (answered_any_ && !partial) return close_now();  // an idle keep-alive connection
    refuse(408, "Request timed out");
  }

  // ---- reading a request

  void wait_for_request() {
    phase_ = Phase::Idle;
    parser_.reset();
    if (state_->stopping()) return close_now();
    if (buffer_.size() > 0 && !reading_) return begin_request();
    if (answered_any_) arm(Clock::now() + limits_.keepalive_timeout);
    if (!reading_) read_idle();
  }

  // Also the watch on a client whose run waits: any end of its stream means it left.
  void read_idle() {
    reading_ = true;
    stream_.async_read_some(buffer_.prepare(kIdleRead), [self = this->shared_from_this()](beast::error_code ec, size_t n) {
      self->on_idle_read(ec, n);
    });
  }

  void on_idle_read(beast::error_code ec, size_t n) {
    reading_ = false;
    if (phase_ == Phase::Closed) return;
    if (!ec) buffer_.commit(n);
    if (phase_ == Phase::Linger) return ec ? close_now() : linger_read();
    if (phase_ == Phase::Handling || phase_ == Phase::Writing) {
      if (ec) {
        peer_closed_ = true;
        if (auto ex = watched_.lock()) ex->mark_gone();
      }
      return;  // data is a pipelined request: the client is there
    }
    if (timed_out_) return on_timeout();
    if (ec) return close_now();
    begin_request();
  }

  void begin_request() {
    phase_ = Phase::Header;
    if (answered_any_) {
      const auto now = Clock::now();
      header_deadline_ = now + limits_.header_timeout;
      request_deadline_ = now + limits_.request_timeout;
      arm(std::min(header_deadline_, request_deadline_));
    }
    version_ = 11;
    head_only_ = false;
    start_line_done_ = false;
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(limits_.max_header_bytes));
    parser_->body_limit(limits_.max_body_bytes);
    parse_header();
  }

  void parse_header() {
    if (buffer_.size() > 0) {
      beast::error_code ec;
      const size_t used = parser_->put(buffer_.data(), ec);
      buffer_.consume(used);
      start_line_done_ |= used > 0;
      if (!ec && parser_->is_header_done()) return on_header();
      if (ec && ec != http::error::need_more) return refuse_malformed(ec);
    }
    if (request_line_too_long()) return refuse(414, "Request target too long");
    if (buffer_.size() >= buffer_.max_size()) return refuse(431, "Request header too large");
    reading_ = true;
    stream_.async_read_some(buffer_.prepare(std::min(kHeaderRead, buffer_.max_size() - buffer_.size())),
                            [self = this->shared_from_this()](beast::error_code ec, size_t n) {
                              self->reading_ = false;
                              if (self->phase_ == Phase::Closed) return;
                              if (self->timed_out_) return self->on_timeout();
                              if (ec) return self->close_now();  // the client left mid-header
                              self->buffer_.commit(n);
                              self->parse_header();
                            });
  }

  // The parser takes the request line as soon as it is whole, and the fields
  // only once they all are: until then the request line is at the buffer's start.
  bool request_line_too_long() const {
    if (start_line_done_) return parser_->get().target().size() > limits_.max_target_bytes;
    const std::string_view data(static_cast<const char*>(buffer_.data().data()), buffer_.size());
    const size_t end = data.find('\n');
    return (end == std::string_view::npos ? data.size() : end) > limits_.max_target_bytes + kRequestLineSlack;
  }

  void refuse_malformed(beast::error_code ec) {
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow)
      return request_line_too_long() ? refuse(414, "Request target too long") : refuse(431, "Request header too large");
    if (ec == http::error::body_limit) return refuse(413, "Request body too large");
    if (ec == http::error::bad_content_length || ec == http::error::multiple_content_length)
      return refuse(400, "Invalid Content-Length");
    if (ec == http::error::bad_transfer_encoding) return refuse(400, "Invalid Transfer-Encoding");
    refuse(400, "Bad request");
  }

  void on_header() {
    const auto& req = parser_->get();
    if (req.target().size() > limits_.max_target_bytes) return refuse(414, "Request target too long");
    if (!framing_ok(req)) return refuse(400, "Invalid Transfer-Encoding");
    if (req.target().empty() || req.target().front() != '/') return refuse(400, "Bad request");
    if (state_->stopping()) return close_now();
    RequestLine line;
    line.head = req.method() == http::verb::head;
    line.method = line.head ? http::verb::get : req.method();
    line.target = std::string(req.target());
    const size_t q = line.target.find('?');
    line.path = line.target.substr(0, q);
    if (q != std::string::npos) line.query = line.target.substr(q + 1);
    line.fields = static_cast<const http::fields&>(req);
    head_only_ = line.head;
    version_ = req.version();
    keep_alive_ = req.keep_alive();
    expects_continue_ = beast::iequals(req[http::field::expect], "100-continue");
    auto ex = std::make_shared<Exchange>(this->shared_from_this(), std::move(line), client_);
    cid_ = ex->correlation_id();
    phase_ = Phase::Handling;
    handling_since_ = Clock::now();
    timer_.cancel();
    CorrelationScope scope(cid_);
    try {
      state_->handler.handle(ex);
    } catch (const std::exception& e) {
      app_log()->error(std::string("Request ") + ex->request().target + " failed: " + e.what());
      ex->reply(error_answer(500, "Internal error"));
    }
  }

  void on_read_body(std::shared_ptr<Exchange> ex, std::function<void(int)> then) {
    if (phase_ != Phase::Handling) return;
    if (parser_->is_done()) {
      ex->set_body(std::move(parser_->get().body()));
      CorrelationScope scope(cid_);
      return then(0);
    }
    // Time spent signing in is the server's, not the client's.
    request_deadline_ += Clock::now() - handling_since_;
    body_ex_ = std::move(ex);
    body_then_ = std::move(then);
    phase_ = Phase::Body;
    arm(request_deadline_);
    if (!expects_continue_) return read_body_bytes();
    expects_continue_ = false;
    continue_ = http::response<http::empty_body>(http::status::continue_, 11);
    http::async_write(stream_, continue_, [self = this->shared_from_this()](beast::error_code ec, size_t) {
      if (self->phase_ == Phase::Closed) return;
      if (ec) return self->close_now();
      self->read_body_bytes();
    });
  }

  void read_body_bytes() {
    reading_ = true;
    http::async_read(stream_, buffer_, *parser_, [self = this->shared_from_this()](beast::error_code ec, size_t) {
      self->on_body(ec);
    });
  }

  void on_body(beast::error_code ec) {
    reading_ = false;
    if (phase_ == Phase::Closed) return;
    if (timed_out_) return on_timeout();
    if (ec == http::error::body_limit) return refuse_body(413, "Request body too large");
    if (ec && client_left(ec)) return close_now();
    if (ec) return refuse_body(400, "Bad request");
    phase_ = Phase::Handling;
    handling_since_ = Clock::now();
    timer_.cancel();
    auto ex = std::move(body_ex_);
    auto then = std::move(body_then_);
    ex->set_body(std::move(parser_->get().body()));
    CorrelationScope scope(cid_);
    then(0);
  }

  // The handler learns of the refusal, for its audit line, after it is sent.
  void refuse_body(int status, const char* message) {
    auto ex = std::move(body_ex_);
    auto then = std::move(body_then_);
    if (ex && ex->claim_answer()) refuse(status, message);
    else close_now();
    CorrelationScope scope(cid_);
    if (then) then(status);
  }

  void on_watch(const std::weak_ptr<Exchange>& ex) {
    if (phase_ != Phase::Handling) return;
    watched_ = ex;
    if (peer_closed_) {
      if (auto e = ex.lock()) e->mark_gone();
    } else if (!reading_ && buffer_.size() == 0) {
      read_idle();  // with a pipelined request buffered the client is there, and reading on would stall it
    }
  }

  // ---- answering

  void refuse(int status, const char* message) {
    if (phase_ == Phase::Handshake || phase_ == Phase::Idle || phase_ == Phase::Header) cid_ = uuid4();
    state_->metrics.count_refusal(status);
    app_log()->debug(std::string("Refused a request from ") + client_ + ": " + std::to_string(status) + " " + message);
    Answer a = error_answer(status, message);
    a.close = true;
    write_answer(std::move(a));
  }

  void on_send(Answer a) {
    if (phase_ != Phase::Handling) {
      if (phase_ == Phase::Body) close_now();  // not while its body is being read
      return;
    }
    if (!parser_->is_done()) a.close = true;  // its body was never read
    write_answer(std::move(a));
  }

  template <class Message>
  void fill(Message& res, const Answer& a) {
    res.result(static_cast<unsigned>(a.status));
    res.version(version_);
    res.set(http::field::content_type, a.content_type);
    res.set("X-Correlation-ID", cid_);
    for (const auto& [name, value] : a.headers) res.set(name, value);
    res.content_length(a.length());
    res.keep_alive(keep_);
  }

  void write_answer(Answer a) {
    phase_ = Phase::Writing;
    keep_ = !a.close && keep_alive_ && !peer_closed_ && !state_->stopping() &&
            limits_.keepalive_timeout > Clock::duration::zero();
    arm(Clock::now() + limits_.send_stall_timeout);
    auto self = this->shared_from_this();
    if (a.json || head_only_) {
      header_ = {};
      fill(header_, a);
      if (a.json && !head_only_) pieces_.emplace(std::move(a.json));
      http::async_write(stream_, header_, [self](beast::error_code ec, size_t) { self->on_written(ec); });
      return;
    }
    response_ = {};
    fill(response_, a);
    response_.body() = std::move(a.body);
    http::async_write(stream_, response_, [self](beast::error_code ec, size_t) { self->on_written(ec); });
  }

  void on_written(beast::error_code ec) {
    if (phase_ == Phase::Closed) return;
    if (ec) return close_now();
    if (pieces_ && pieces_->next(piece_, kPiece)) {
      arm(Clock::now() + limits_.send_stall_timeout);
      net::async_write(stream_, net::buffer(piece_),
                       [self = this->shared_from_this()](beast::error_code ec, size_t) { self->on_written(ec); });
      return;
    }
    answered_any_ = true;
    pieces_.reset();
    piece_ = std::string();
    response_ = {};
    watched_.reset();
    if (!keep_) return linger_close();
    if (buffer_.size() == 0 && !reading_) buffer_.shrink_to_fit();
    wait_for_request();
  }

  void linger_close() {
    phase_ = Phase::Linger;
    beast::error_code ec;
    socket().shutdown(tcp::socket::shutdown_send, ec);
    if (ec) return close_now();
    arm(Clock::now() + limits_.linger);
    if (!reading_) linger_read();
  }

  // Reads below TLS: the bytes are thrown away.
  void linger_read() {
    if (phase_ != Phase::Linger) return;
    buffer_.clear();
    reading_ = true;
    socket().async_read_some(buffer_.prepare(kHeaderRead), [self = this->shared_from_this()](beast::error_code ec, size_t) {
      self->reading_ = false;
      if (self->phase_ == Phase::Closed) return;
      if (ec) return self->close_now();
      self->linger_read();
    });
  }

  void close_now() {
    if (phase_ == Phase::Closed) return;
    phase_ = Phase::Closed;
    timer_.cancel();
    beast::error_code ec;
    socket().shutdown(tcp::socket::shutdown_both, ec);
    socket().close(ec);
    body_then_ = nullptr;
    body_ex_.reset();
    watched_.reset();
  }

  Stream stream_;
  net::steady_timer timer_;
  beast::flat_buffer buffer_;
  std::shared_ptr<ServerState> state_;
  const Limits& limits_;
  const std::string client_;

  Phase phase_ = Phase::Idle;
  bool reading_ = false;
  bool timed_out_ = false;
  bool answered_any_ = false;
  bool peer_closed_ = false;
  Clock::time_point header_deadline_, request_deadline_, handling_since_;

  std::optional<http::request_parser<http::string_body>> parser_;
  std::string cid_;
  unsigned version_ = 11;
  bool keep_alive_ = false;
  bool keep_ = false;
  bool head_only_ = false;
  bool expects_continue_ = false;
  bool start_line_done_ = false;
  std::shared_ptr<Exchange> body_ex_;
  std::function<void(int)> body_then_;
  std::weak_ptr<Exchange> watched_;

  http::response<http::empty_body> continue_;
  http::response<http::empty_body> header_;
  http::response<http::string_body> response_;
  std::optional<JsonPieces> pieces_;
  std::string piece_;
};

}  // namespace

size_t ServerState::open() const {
  std::lock_guard<std::mutex> l(mu_);
  return live_.size();
}

bool ServerState::stopping() const {
  std::lock_guard<std::mutex> l(mu_);
  return stopping_;
}

void ServerState::stop(std::function<void()> drained) {
  std::vector<std::weak_ptr<SessionBase>> sessions;
  {
    std::lock_guard<std::mutex> l(mu_);
    stopping_ = true;
    if (live_.empty()) {
      drained_ = nullptr;
    } else {
      drained_ = std::move(drained);
      for (const auto& [key, weak] : live_) sessions.push_back(weak);
    }
  }
  if (sessions.empty() && drained) drained();
  for (auto& w : sessions)
    if (auto s = w.lock()) s->stop();
}

void ServerState::enter(SessionBase* key, std::weak_ptr<SessionBase> session) {
  std::lock_guard<std::mutex> l(mu_);
  live_.emplace(key, std::move(session));
  metrics.connections.store(static_cast<int64_t>(live_.size()));
}

void ServerState::leave(SessionBase* key) {
  std::function<void()> drained;
  {
    std::lock_guard<std::mutex> l(mu_);
    live_.erase(key);
    metrics.connections.store(static_cast<int64_t>(live_.size()));
    if (stopping_ && live_.empty()) drained = std::move(drained_);
  }
  if (drained) drained();
}

void start_session(tcp::socket socket, std::shared_ptr<ServerState> state, std::string client) {
  std::make_shared<Session<tcp::socket>>(std::move(socket), std::move(state), std::move(client))->start();
}

void start_session(tcp::socket socket, net::ssl::context& tls, std::shared_ptr<ServerState> state,
                   std::string client) {
  using TlsStream = net::ssl::stream<tcp::socket>;
  std::make_shared<Session<TlsStream>>(TlsStream(std::move(socket), tls), std::move(state), std::move(client))->start();
}

}  // namespace portico::api
