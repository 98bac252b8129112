#pragma once
// Private to the server: one connection's protocol (deadlines, limits,
// requests in order, answers, lingering close), written once for every
// stream type. The stream-specific I/O is left to a subclass per type.
//
// Thread rules: everything runs on the connection's strand; the Connection
// and SessionBase calls post to it.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <optional>

#include "api/session.h"

namespace portico::api {

class Session : public SessionBase, public std::enable_shared_from_this<Session> {
 public:
  ~Session() override;
  // Starts the handshake (TLS) or the wait for the first request.
  void start();

  void read_body(std::shared_ptr<Exchange> ex, std::function<void(int)> then) override;
  void send(Answer answer) override;
  void watch_client(std::weak_ptr<Exchange> ex) override;
  void close() override;
  void stop() override;

 protected:
  using ErrorCode = boost::system::error_code;
  using Done = std::function<void(ErrorCode, std::size_t)>;
  using Clock = std::chrono::steady_clock;
  using Request = boost::beast::http::request_parser<boost::beast::http::string_body>;
  using Response = boost::beast::http::response<boost::beast::http::string_body>;
  using Header = boost::beast::http::response<boost::beast::http::empty_body>;

  Session(boost::asio::any_io_executor executor, std::shared_ptr<ServerState> state, std::string client);

  // The stream's I/O; completions run on the strand.
  virtual void io_handshake(std::function<void(ErrorCode)> done) = 0;
  virtual void io_read_some(boost::asio::mutable_buffer into, Done done) = 0;
  virtual void io_read_body(Done done) = 0;  // the rest of parser_'s message, through buffer_
  virtual void io_write(Response& message, Done done) = 0;
  virtual void io_write(Header& message, Done done) = 0;
  virtual void io_write(boost::asio::const_buffer bytes, Done done) = 0;
  virtual boost::asio::ip::tcp::socket& socket() = 0;

  boost::beast::flat_buffer buffer_;
  std::optional<Request> parser_;

 private:
  enum class Phase { Handshake, Idle, Header, Body, Handling, Writing, Linger, Closed };

  template <class F>
  void post(F f);
  void begin();
  void arm(Clock::time_point at);
  void on_timer(ErrorCode ec);
  void on_timeout();

  void wait_for_request();
  void read_idle();
  void on_idle_read(ErrorCode ec, size_t n);
  void begin_request();
  void parse_header();
  bool request_line_too_long() const;
  void refuse_malformed(ErrorCode ec);
  void on_header();
  void on_read_body(std::shared_ptr<Exchange> ex, std::function<void(int)> then);
  void read_body_bytes();
  void on_body(ErrorCode ec);
  void refuse_body(int status, const char* message);
  void on_watch(const std::weak_ptr<Exchange>& ex);

  void refuse(int status, const char* message);
  void on_send(Answer a);
  template <class Message>
  void fill(Message& res, const Answer& a);
  void write_answer(Answer a);
  Clock::time_point send_deadline();
  void on_written(ErrorCode ec);
  void pump_stream();
  void on_stream_ready();
  void stream_heartbeat();
  static void frame_chunk(std::string& data);
  void linger_close();
  void linger_read();
  void close_now();

  boost::asio::steady_timer timer_;
  std::shared_ptr<ServerState> state_;
  const Limits& limits_;
  const std::string client_;

  Phase phase_ = Phase::Idle;
  bool reading_ = false;
  bool timed_out_ = false;
  bool answered_any_ = false;
  bool peer_closed_ = false;
  Clock::time_point header_deadline_, request_deadline_, handling_since_;
  Clock::time_point drain_by_ = Clock::time_point::max();  // set once the server stops

  // Of the request in progress.
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

  Header continue_;
  Header header_;
  Response response_;
  std::optional<JsonPieces> pieces_;
  std::shared_ptr<AnswerStream> stream_;
  bool stream_idle_ = false;   // waiting for the stream to have more
  bool stream_waits_ = false;  // a wait() on it is outstanding
  bool chunked_ = false;       // the stream is sent in chunks
  std::string piece_;
};

}  // namespace portico::api
