// One connection's answers: writing them, whole or in pieces, then keeping the
// connection for the next request or closing it without losing the answer.

#include <boost/asio/post.hpp>
#include <boost/beast/http/write.hpp>

#include <cstdio>
#include <sstream>

#include "api/session_core.h"
#include "common/text.h"
#include "logging/logging.h"

namespace portico::api {
namespace {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;

constexpr size_t kPiece = 64 * 1024;
constexpr size_t kLingerRead = 4096;
constexpr auto kStoppingSendTimeout = std::chrono::seconds(10);
// An idle event stream sends a comment this often: proxies keep it open, and
// a client that has gone is noticed.
constexpr auto kStreamHeartbeat = std::chrono::seconds(15);

}  // namespace

void Session::refuse(int status, const char* message) {
  if (phase_ == Phase::Handshake || phase_ == Phase::Idle || phase_ == Phase::Header) cid_ = uuid4();
  state_->metrics.count_refusal(status);
  app_log()->debug(std::string("Refused a request from ") + client_ + ": " + std::to_string(status) + " " + message);
  Answer a = error_answer(status, message);
  a.close = true;
  write_answer(std::move(a));
}

void Session::on_send(Answer a) {
  if (phase_ != Phase::Handling) {
    if (phase_ == Phase::Body) close_now();  // not while its body is being read
    return;
  }
  if (!parser_->is_done()) a.close = true;  // its body was never read
  write_answer(std::move(a));
}

template <class Message>
void Session::fill(Message& res, const Answer& a) {
  res.result(static_cast<unsigned>(a.status));
  res.version(version_);
  res.set(http::field::content_type, a.content_type);
  res.set("X-Correlation-ID", cid_);
  for (const auto& [name, value] : a.headers) res.set(name, value);
  if (!a.stream) res.content_length(a.length());
  res.keep_alive(keep_);
}

void Session::write_answer(Answer a) {
  phase_ = Phase::Writing;
  // HTTP/1.1 gets the stream in chunks, so the connection can serve the next
  // request; an HTTP/1.0 client reads it until the connection closes.
  chunked_ = a.stream && version_ >= 11 && !head_only_;
  if (a.stream) {
    if (!chunked_) a.close = true;
    a.headers.emplace_back("Cache-Control", "no-store");
    a.headers.emplace_back("X-Accel-Buffering", "no");
  }
  keep_ = !a.close && keep_alive_ && !peer_closed_ && !state_->stopping() &&
          limits_.keepalive_timeout > Clock::duration::zero();
  arm(send_deadline());
  auto self = shared_from_this();
  if (a.json || a.stream || head_only_) {
    header_ = {};
    fill(header_, a);
    if (a.json && !head_only_) pieces_.emplace(std::move(a.json));
    if (a.stream && !head_only_) stream_ = std::move(a.stream);
    if (chunked_) {
      // Written by hand: Beast would end a chunked message with no body at once.
      header_.set(http::field::transfer_encoding, "chunked");
      std::ostringstream head;
      head << header_.base();
      piece_ = head.str();
      io_write(net::buffer(piece_), [self](ErrorCode ec, size_t) { self->on_written(ec); });
      return;
    }
    io_write(header_, [self](ErrorCode ec, size_t) { self->on_written(ec); });
    return;
  }
  response_ = {};
  fill(response_, a);
  response_.body() = std::move(a.body);
  io_write(response_, [self](ErrorCode ec, size_t) { self->on_written(ec); });
}

// While the server stops, a client that reads slowly must not hold its exit for long.
Session::Clock::time_point Session::send_deadline() {
  const auto now = Clock::now();
  if (state_->stopping() && drain_by_ == Clock::time_point::max()) drain_by_ = now + kStoppingSendTimeout;
  return std::min(now + limits_.send_stall_timeout, drain_by_);
}

void Session::on_written(ErrorCode ec) {
  if (phase_ == Phase::Closed) return;
  if (ec) return close_now();
  if (pieces_ && pieces_->next(piece_, kPiece)) {
    arm(send_deadline());
    io_write(net::buffer(piece_), [self = shared_from_this()](ErrorCode ec, size_t) { self->on_written(ec); });
    return;
  }
  if (stream_) return pump_stream();
  answered_any_ = true;
  pieces_.reset();
  piece_ = std::string();
  response_ = {};
  watched_.reset();
  if (!keep_) return linger_close();
  if (buffer_.size() == 0 && !reading_) buffer_.shrink_to_fit();
  wait_for_request();
}

void Session::pump_stream() {
  piece_.clear();
  if (!stream_->next(piece_)) {
    stream_.reset();
    stream_idle_ = false;
    if (!chunked_) return on_written({});
    chunked_ = false;
    piece_ = "0\r\n\r\n";
    arm(send_deadline());
    io_write(net::buffer(piece_), [self = shared_from_this()](ErrorCode ec, size_t) { self->on_written(ec); });
    return;
  }
  if (!piece_.empty()) {
    if (chunked_) frame_chunk(piece_);
    stream_idle_ = false;
    arm(send_deadline());
    io_write(net::buffer(piece_), [self = shared_from_this()](ErrorCode ec, size_t) { self->on_written(ec); });
    return;
  }
  if (state_->stopping()) return close_now();
  stream_idle_ = true;
  arm(Clock::now() + kStreamHeartbeat);
  // Notices a client that leaves; once it has sent a next request, that waits
  // in the buffer for the stream's end and nothing more is read.
  if (!reading_ && !peer_closed_ && buffer_.size() == 0) read_idle();
  if (stream_waits_) return;
  stream_waits_ = true;
  stream_->wait([weak = weak_from_this()] {
    if (auto self = weak.lock())
      net::post(self->timer_.get_executor(), [self] { self->on_stream_ready(); });
  });
}

void Session::on_stream_ready() {
  stream_waits_ = false;
  if (phase_ != Phase::Writing || !stream_ || !stream_idle_) return;
  pump_stream();
}

// While an idle stream waits: a comment line, which event-stream clients ignore.
void Session::stream_heartbeat() {
  stream_idle_ = false;
  piece_ = ": keep-alive\n\n";
  if (chunked_) frame_chunk(piece_);
  arm(send_deadline());
  io_write(net::buffer(piece_), [self = shared_from_this()](ErrorCode ec, size_t) { self->on_written(ec); });
}

void Session::frame_chunk(std::string& data) {
  char size[24];
  const int n = std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  data.insert(0, size, static_cast<size_t>(n));
  data.append("\r\n");
}

void Session::linger_close() {
  phase_ = Phase::Linger;
  ErrorCode ec;
  socket().shutdown(tcp::socket::shutdown_send, ec);
  if (ec) return close_now();
  arm(Clock::now() + limits_.linger);
  if (!reading_) linger_read();
}

void Session::linger_read() {
  if (phase_ != Phase::Linger) return;
  buffer_.clear();
  reading_ = true;
  socket().async_read_some(buffer_.prepare(kLingerRead), [self = shared_from_this()](ErrorCode ec, size_t) {
    self->reading_ = false;
    if (self->phase_ == Phase::Closed) return;
    if (ec) return self->close_now();
    self->linger_read();
  });
}

void Session::close_now() {
  if (phase_ == Phase::Closed) return;
  phase_ = Phase::Closed;
  timer_.cancel();
  ErrorCode ec;
  socket().shutdown(tcp::socket::shutdown_both, ec);
  socket().close(ec);
  body_then_ = nullptr;
  body_ex_.reset();
  watched_.reset();
  stream_.reset();
}

}  // namespace portico::api
