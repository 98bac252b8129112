// The stream types a connection comes in (plain TCP, TLS over TCP), and the
// server's register of its connections.

#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include "api/session_core.h"

namespace portico::api {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

template <class Stream>
class StreamSession final : public Session {
 public:
  StreamSession(net::any_io_executor executor, Stream stream, std::shared_ptr<ServerState> state, std::string client)
      : Session(std::move(executor), std::move(state), std::move(client)), stream_(std::move(stream)) {}

 private:
  static constexpr bool kTls = !std::is_same_v<Stream, tcp::socket>;

  void io_handshake(std::function<void(ErrorCode)> done) override {
    if constexpr (kTls) stream_.async_handshake(net::ssl::stream_base::server, std::move(done));
    else done({});
  }
  void io_read_some(net::mutable_buffer into, Done done) override { stream_.async_read_some(into, std::move(done)); }
  void io_read_body(Done done) override { http::async_read(stream_, buffer_, *parser_, std::move(done)); }
  void io_write(Response& message, Done done) override { http::async_write(stream_, message, std::move(done)); }
  void io_write(Header& message, Done done) override { http::async_write(stream_, message, std::move(done)); }
  void io_write(net::const_buffer bytes, Done done) override { net::async_write(stream_, bytes, std::move(done)); }
  tcp::socket& socket() override { return beast::get_lowest_layer(stream_); }

  Stream stream_;
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
  auto executor = socket.get_executor();
  std::make_shared<StreamSession<tcp::socket>>(executor, std::move(socket), std::move(state), std::move(client))
      ->start();
}

void start_session(tcp::socket socket, net::ssl::context& tls, std::shared_ptr<ServerState> state,
                   std::string client) {
  using TlsStream = net::ssl::stream<tcp::socket>;
  auto executor = socket.get_executor();
  std::make_shared<StreamSession<TlsStream>>(executor, TlsStream(std::move(socket), tls), std::move(state),
                                             std::move(client))
      ->start();
}

}  // namespace portico::api
