// One connection's protocol: deadlines, limits, requests in order, answers.

#include "api/session_core.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>

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

}  // namespace

Session::Session(net::any_io_executor executor, std::shared_ptr<ServerState> state, std::string client)
    : buffer_(state->limits.max_header_bytes + kHeaderRead),
      timer_(std::move(executor)),
      state_(std::move(state)),
      limits_(state_->limits),
      client_(std::move(client)) {}

Session::~Session() { state_->leave(this); }

void Session::start() {
  state_->enter(this, weak_from_this());
  net::dispatch(timer_.get_executor(), [self = shared_from_this()] { self->begin(); });
}

void Session::read_body(std::shared_ptr<Exchange> ex, std::function<void(int)> then) {
  post([ex = std::move(ex), then = std::move(then)](Session& s) mutable { s.on_read_body(std::move(ex), std::move(then)); });
}

void Session::send(Answer answer) {
  post([answer = std::move(answer)](Session& s) mutable { s.on_send(std::move(answer)); });
}

void Session::watch_client(std::weak_ptr<Exchange> ex) {
  post([ex = std::move(ex)](Session& s) { s.on_watch(ex); });
}

void Session::close() {
  post([](Session& s) { s.close_now(); });
}

void Session::stop() {
  post([](Session& s) {
    if (s.phase_ == Phase::Writing && s.stream_idle_) s.close_now();
    else if (s.phase_ == Phase::Writing) s.arm(std::min(s.timer_.expiry(), s.send_deadline()));
    else if (s.phase_ != Phase::Handling) s.close_now();
  });
}

template <class F>
void Session::post(F f) {
  net::post(timer_.get_executor(), [self = shared_from_this(), f = std::move(f)]() mutable { f(*self); });
}

void Session::begin() {
  const auto now = Clock::now();
  header_deadline_ = now + limits_.header_timeout;
  request_deadline_ = now + limits_.request_timeout;
  arm(std::min(header_deadline_, request_deadline_));
  phase_ = Phase::Handshake;
  io_handshake([self = shared_from_this()](ErrorCode ec) {
    if (self->phase_ == Phase::Closed) return;
    if (ec) return self->close_now();
    self->wait_for_request();
  });
}

void Session::arm(Clock::time_point at) {
  timer_.expires_at(at);
  timer_.async_wait([self = shared_from_this()](ErrorCode ec) { self->on_timer(ec); });
}

void Session::on_timer(ErrorCode ec) {
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
    case Phase::Writing:
      if (stream_idle_ && !state_->stopping()) return stream_heartbeat();
      return close_now();
    default:
      close_now();
  }
}

void Session::on_timeout() {
  timed_out_ = false;
  if (phase_ == Phase::Body) return refuse_body(408, "Request timed out");
  const bool partial = buffer_.size() > 0 || (parser_ && parser_->got_some());
  if (answered_any_ && !partial) return close_now();  // an idle keep-alive connection
  refuse(408, "Request timed out");
}

void Session::wait_for_request() {
  phase_ = Phase::Idle;
  parser_.reset();
  if (state_->stopping()) return close_now();
  if (buffer_.size() > 0 && !reading_) return begin_request();
  if (answered_any_) arm(Clock::now() + limits_.keepalive_timeout);
  if (!reading_) read_idle();
}

void Session::read_idle() {
  reading_ = true;
  io_read_some(buffer_.prepare(kIdleRead), [self = shared_from_this()](ErrorCode ec, size_t n) { self->on_idle_read(ec, n); });
}

void Session::on_idle_read(ErrorCode ec, size_t n) {
  reading_ = false;
  if (phase_ == Phase::Closed) return;
  if (!ec) buffer_.commit(n);
  if (phase_ == Phase::Linger) return ec ? close_now() : linger_read();
  if (phase_ == Phase::Handling || phase_ == Phase::Writing) {
    if (ec) {
      peer_closed_ = true;
      if (auto ex = watched_.lock()) ex->mark_gone();
      if (stream_idle_) close_now();  // nobody is left to read the stream
    }
    return;  // data is a pipelined request: the client is there
  }
  if (timed_out_) return on_timeout();
  if (ec) return close_now();
  begin_request();
}

void Session::begin_request() {
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

void Session::parse_header() {
  if (buffer_.size() > 0) {
    ErrorCode ec;
    const size_t used = parser_->put(buffer_.data(), ec);
    buffer_.consume(used);
    start_line_done_ |= used > 0;
    if (!ec && parser_->is_header_done()) return on_header();
    if (ec && ec != http::error::need_more) return refuse_malformed(ec);
  }
  if (request_line_too_long()) return refuse(414, "Request target too long");
  if (buffer_.size() >= buffer_.max_size()) return refuse(431, "Request header too large");
  reading_ = true;
  io_read_some(buffer_.prepare(std::min(kHeaderRead, buffer_.max_size() - buffer_.size())),
               [self = shared_from_this()](ErrorCode ec, size_t n) {
                 self->reading_ = false;
                 if (self->phase_ == Phase::Closed) return;
                 if (self->timed_out_) return self->on_timeout();
                 if (ec) return self->close_now();  // the client left mid-header
                 self->buffer_.commit(n);
                 self->parse_header();
               });
}

bool Session::request_line_too_long() const {
  if (start_line_done_) return parser_->get().target().size() > limits_.max_target_bytes;
  const std::string_view data(static_cast<const char*>(buffer_.data().data()), buffer_.size());
  const size_t end = data.find('\n');
  return (end == std::string_view::npos ? data.size() : end) > limits_.max_target_bytes + kRequestLineSlack;
}

void Session::refuse_malformed(ErrorCode ec) {
  if (ec == http::error::header_limit || ec == http::error::buffer_overflow)
    return request_line_too_long() ? refuse(414, "Request target too long") : refuse(431, "Request header too large");
  if (ec == http::error::body_limit) return refuse(413, "Request body too large");
  if (ec == http::error::bad_content_length || ec == http::error::multiple_content_length)
    return refuse(400, "Invalid Content-Length");
  if (ec == http::error::bad_transfer_encoding) return refuse(400, "Invalid Transfer-Encoding");
  refuse(400, "Bad request");
}

void Session::on_header() {
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
  auto ex = std::make_shared<Exchange>(shared_from_this(), std::move(line), client_);
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

void Session::on_read_body(std::shared_ptr<Exchange> ex, std::function<void(int)> then) {
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
  io_write(continue_, [self = shared_from_this()](ErrorCode ec, size_t) {
    if (self->phase_ == Phase::Closed) return;
    if (ec) return self->close_now();
    self->read_body_bytes();
  });
}

void Session::read_body_bytes() {
  reading_ = true;
  io_read_body([self = shared_from_this()](ErrorCode ec, size_t) { self->on_body(ec); });
}

void Session::on_body(ErrorCode ec) {
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

void Session::refuse_body(int status, const char* message) {
  auto ex = std::move(body_ex_);
  auto then = std::move(body_then_);
  if (ex && ex->claim_answer()) refuse(status, message);
  else close_now();
  CorrelationScope scope(cid_);
  if (then) then(status);
}

void Session::on_watch(const std::weak_ptr<Exchange>& ex) {
  if (phase_ != Phase::Handling) return;
  watched_ = ex;
  if (peer_closed_) {
    if (auto e = ex.lock()) e->mark_gone();
  } else if (!reading_ && buffer_.size() == 0) {
    read_idle();  // with a pipelined request buffered the client is there, and reading on would stall it
  }
}

}  // namespace portico::api
