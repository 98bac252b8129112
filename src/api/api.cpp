#include "api/api.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <openssl/evp.h>

#include <httplib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <thread>

#include "auth/auth.h"
#include "common/fd.h"
#include "common/text.h"
#include "executor/executor.h"
#include "logging/logging.h"

namespace portico {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kMaxLogFileBytes = 1 << 20;
const double kBuckets[] = {0.01, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 300};

// Close to the serialised length (escapes aside): a Base64 archive of many
// megabytes is then written once instead of copied at every doubling.
size_t json_size_hint(const Value& v) {
  size_t n = 2;
  switch (v.type()) {
    case Value::value_t::string:
      return v.get_ref<const std::string&>().size() + 2;
    case Value::value_t::object:
      for (auto it = v.begin(); it != v.end(); ++it) n += it.key().size() + 4 + json_size_hint(it.value());
      return n;
    case Value::value_t::array:
      for (const auto& x : v) n += 1 + json_size_hint(x);
      return n;
    default:
      return 24;
  }
}

std::string json_text(const Value& body, size_t hint) {
  std::string text;
  text.reserve(hint + hint / 16);
  // What Value::dump does, into a buffer reserved up front.
  nlohmann::detail::serializer<Value> out(nlohmann::detail::output_adapter<char, std::string>(text), ' ',
                                          Value::error_handler_t::replace);
  out.dump(body, false, false, 0);
  return text;
}

// Where a streamed answer goes: nowhere (to learn its length), or the socket
// in blocks.
class JsonStream final : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  struct Closed {};  // the peer went away; abandons the serialisation
  explicit JsonStream(httplib::DataSink* sink) : sink_(sink) {}
  void write_character(char c) override { write_characters(&c, 1); }
  void write_characters(const char* s, size_t n) override {
    length_ += n;
    if (!sink_) return;
    buf_.append(s, n);
    if (buf_.size() >= kBlock) flush();
  }
  void flush() {
    if (sink_ && !buf_.empty() && !sink_->write(buf_.data(), buf_.size())) throw Closed{};
    buf_.clear();
  }
  size_t length() const { return length_; }

 private:
  static constexpr size_t kBlock = 1 << 16;
  httplib::DataSink* sink_;
  std::string buf_;
  size_t length_ = 0;
};

size_t write_json(const Value& body, httplib::DataSink* sink) {
  auto stream = std::make_shared<JsonStream>(sink);
  nlohmann::detail::serializer<Value>(stream, ' ', Value::error_handler_t::replace).dump(body, false, false, 0);
  stream->flush();
  return stream->length();
}

// Answers above this are serialised straight to the socket (after a pass that
// counts their length) instead of into a second copy in memory.
constexpr size_t kStreamAnswerAbove = 1 << 20;

// Takes the body so that a large one is never held twice, and hands a small
// one's text to the response without a copy (set_content copies).
void send_json(httplib::Response& res, int status, Value&& body) {
  res.status = status;
  const size_t hint = json_size_hint(body);
  // Error answers are small, and the error handler rewrites those without a body.
  if (status < 400 && hint > kStreamAnswerAbove) {
    auto held = std::make_shared<const Value>(std::move(body));
    const size_t length = write_json(*held, nullptr);
    res.set_content_provider(length, "application/json",
                             [held](size_t offset, size_t, httplib::DataSink& sink) {
                               if (offset != 0) return false;  // written whole by the first call
                               try {
                                 write_json(*held, &sink);
                                 return true;
                               } catch (...) {  // the peer left, or no memory: drop the connection
                                 return false;
                               }
                             });
    return;
  }
  std::string text = json_text(body, hint);
  body = Value();
  res.body = std::move(text);
  res.headers.erase("Content-Type");
  res.set_header("Content-Type", "application/json");
}

void send_error(httplib::Response& res, int status, const std::string& message) {
  send_json(res, status, Value{{"error", message}});
}

// Compares secrets without revealing where they differ or how long they are.
bool secret_equals(const std::string& a, const std::string& b) {
  unsigned char da[EVP_MAX_MD_SIZE], db[EVP_MAX_MD_SIZE];
  unsigned int la = 0, lb = 0;
  EVP_Digest(a.data(), a.size(), da, &la, EVP_sha256(), nullptr);
  EVP_Digest(b.data(), b.size(), db, &lb, EVP_sha256(), nullptr);
  return la == lb && CRYPTO_memcmp(da, db, la) == 0;
}

std::string prom_escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out.push_back(c);
  }
  return out;
}

std::string utc_now_iso() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[40];
  const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ms));
  return buf;
}

struct Metrics {
  std::mutex mu;
  std::map<std::pair<std::string, std::string>, uint64_t> runs;
  uint64_t bucket_counts[std::size(kBuckets)] = {};
  double duration_sum = 0;
  uint64_t duration_count = 0;
  std::atomic<int64_t> in_flight{0};

  void record(const std::string& alias, const std::string& outcome, double seconds) {
    std::lock_guard<std::mutex> l(mu);
    ++runs[{alias, outcome}];
    for (size_t i = 0; i < std::size(kBuckets); ++i)
      if (seconds <= kBuckets[i]) ++bucket_counts[i];
    duration_sum += seconds;
    ++duration_count;
  }

  std::string render() {
    std::lock_guard<std::mutex> l(mu);
    std::string out;
    out += "# HELP portico_runs_total Alias runs by outcome.\n# TYPE portico_runs_total counter\n";
    for (const auto& [key, n] : runs)
      out += "portico_runs_total{alias=\"" + prom_escape(key.first) + "\",outcome=\"" + key.second + "\"} " +
             std::to_string(n) + "\n";
    out += "# HELP portico_run_duration_seconds Wall time of alias runs.\n"
           "# TYPE portico_run_duration_seconds histogram\n";
    for (size_t i = 0; i < std::size(kBuckets); ++i)
      out += "portico_run_duration_seconds_bucket{le=\"" + plain_decimal(kBuckets[i]) + "\"} " +
             std::to_string(bucket_counts[i]) + "\n";
    out += "portico_run_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(duration_count) + "\n";
    out += "portico_run_duration_seconds_sum " + plain_decimal(duration_sum) + "\n";
    out += "portico_run_duration_seconds_count " + std::to_string(duration_count) + "\n";
    out += "# HELP portico_runs_in_flight Runs executing now.\n# TYPE portico_runs_in_flight gauge\n";
    out += "portico_runs_in_flight " + std::to_string(in_flight.load()) + "\n";
    return out;
  }
};

std::string public_error(const std::string& outcome, const Value& result) {
  if (outcome == "validation_error" || outcome == "not_found") return result.value("error", "");
  if (outcome == "timed_out") return "Execution timed out";
  if (outcome == "docker_unavailable") return "Container service unavailable";
  return "Execution failed";
}

// cpp-httplib listens with a backlog of 5: a burst of new connections then
// overflows the queue and clients retry their SYN a second later. Find our
// listening socket and raise the backlog (listen() again updates it on Linux).
void widen_backlog(int port) {
  struct rlimit rl {};
  const int max_fd = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 65536 ? static_cast<int>(rl.rlim_cur) : 65536;
  for (int fd = 0; fd < max_fd; ++fd) {
    int listening = 0;
    socklen_t len = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || !listening) continue;
    sockaddr_storage addr{};
    socklen_t alen = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &alen) != 0) continue;
    int bound = -1;
    if (addr.ss_family == AF_INET) bound = ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    else if (addr.ss_family == AF_INET6) bound = ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    if (bound == port) ::listen(fd, SOMAXCONN);
  }
}

}  // namespace

std::string outcome_of(const Value& result) {
  if (result.value("success", false)) return "success";
  if (result.contains("validation_error")) return "validation_error";
  if (result.contains("timed_out")) return "timed_out";
  const std::string err = result.value("error", "");
  if (result.size() == 2) {
    if (err.rfind("Alias ", 0) == 0 && err.size() > 10 && err.compare(err.size() - 10, 10, " not found") == 0)
      return "not_found";
    if (err.rfind("Docker not available: ", 0) == 0) return "docker_unavailable";
    if (err.rfind("Unknown alias type: ", 0) == 0) return "unknown_type";
  }
  return "failed";
}

int status_for_result(const Value& result) {
  const std::string o = outcome_of(result);
  if (o == "success") return 200;
  if (o == "validation_error") return 400;
  if (o == "not_found") return 404;
  if (o == "timed_out") return 504;
  if (o == "docker_unavailable") return 503;
  return 500;
}

struct HttpApiServer::Impl {
  ConfigStore& config;
  FileAuthStore& auth;
  Logging& logging;
  Executor& executor;
  Metrics metrics;
  Clock::time_point started = Clock::now();

  std::mutex mu;
  mutable std::condition_variable cv;
  std::unique_ptr<httplib::Server> server;
  bool stop_requested = false;
  bool finished = false;  // listen_after_bind() has returned
  int bound_port = 0;

  Impl(ConfigStore& c, FileAuthStore& a, Logging& l, Executor& e) : config(c), auth(a), logging(l), executor(e) {}

  std::string text_setting(const char* key) {
    const Value v = config.get(key);
    return v.is_string() ? v.get<std::string>() : std::string();
  }

  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  // Every routed request gets a fresh correlation id for its thread and its answer.
  Handler wrap(Handler h) {
    return [h = std::move(h)](const httplib::Request& req, httplib::Response& res) {
      const std::string cid = uuid4();
      res.set_header("X-Correlation-ID", cid);
      CorrelationScope scope(cid);
      try {
        h(req, res);
      } catch (const std::exception& e) {
        app_log()->error(std::string("Request ") + req.method + " " + req.path + " failed: " + e.what());
        send_error(res, 500, "Internal error");
      }
    };
  }

  std::optional<Principal> authenticate(const httplib::Request& req, httplib::Response& res) {
    auto p = auth.authenticate(req.get_header_value("Authorization"));
    if (!p) {
      res.set_header("WWW-Authenticate", "Basic realm=\"portico\", charset=\"UTF-8\"");
      send_error(res, 401, "Authentication required");
    }
    return p;
  }

  void run(const httplib::Request& req, httplib::Response& res) {
    const auto principal = authenticate(req, res);
    if (!principal) return;
    const std::string alias = req.matches[1];
    const auto t0 = Clock::now();
    Value result;
    std::string outcome;
    Value exit_status;  // kept apart: the result is given away to the answer
    auto finish = [&](int status) {
      const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
      metrics.record(alias, outcome, seconds);
      Value rec = Value::object();
      rec["time"] = utc_now_iso();
      rec["correlation_id"] = current_correlation_id().value_or("");
      rec["user"] = principal->name;
      rec["auth"] = principal->method;
      rec["client"] = req.remote_addr;
      rec["alias"] = alias;
      rec["outcome"] = outcome;
      rec["status"] = status;
      rec["exit_status"] = exit_status;
      rec["duration_ms"] = static_cast<long long>(seconds * 1000);
      logging.audit(rec);
    };

    if (!FileAuthStore::may_run(*principal, alias)) {
      // Indistinguishable from an alias that does not exist.
      result = result::failure("Alias " + quoted(alias) + " not found");
      outcome = "not_found";
      send_json(res, 404, std::move(result));
      finish(404);
      return;
    }
    Value params = Value::object();
    if (!req.body.empty()) {
      const std::string ctype = req.get_header_value("Content-Type");
      if (ctype.rfind("application/json", 0) != 0) {
        outcome = "bad_request";
        send_error(res, 415, "Content-Type must be application/json");
        finish(415);
        return;
      }
      params = Value::parse(req.body, nullptr, false);
      if (params.is_discarded()) {
        outcome = "bad_request";
        send_error(res, 400, "Request body is not valid JSON");
        finish(400);
        return;
      }
      if (!params.is_object()) {
        outcome = "bad_request";
        send_error(res, 400, "Request body must be a JSON object of parameters");
        finish(400);
        return;
      }
    }
    metrics.in_flight.fetch_add(1);
    try {
      result = executor.execute_alias(alias, params);
    } catch (...) {
      metrics.in_flight.fetch_sub(1);
      outcome = "failed";
      finish(500);
      throw;
    }
    metrics.in_flight.fetch_sub(1);
    outcome = outcome_of(result);
    const int status = status_for_result(result);
    if (result.contains("error")) {
      const std::string full = result["error"].get<std::string>();
      if (outcome != "validation_error" && outcome != "not_found")
        app_log()->warn("Run of alias " + quoted(alias) + " failed: " + full);
      result["error"] = public_error(outcome, result);
    }
    app_log()->info("Run of alias " + quoted(alias) + " by " + quoted(principal->name) + ": " + outcome + " (" +
                    std::to_string(status) + ")");
    if (result.is_object() && result.contains("returncode")) exit_status = result["returncode"];
    send_json(res, status, std::move(result));
    finish(status);
  }

  Value describe(const std::string& name, const Value& def) {
    Value out = Value::object();
    out["name"] = name;
    out["type"] = def.value("type", Value());
    out["description"] = def.value("description", Value());
    out["parameters"] = def.contains("parameters") && def["parameters"].is_object() ? def["parameters"] : Value::object();
    return out;
  }

  void list_aliases(const httplib::Request& req, httplib::Response& res) {
    const auto principal = authenticate(req, res);
    if (!principal) return;
    Value list = Value::array();
    const Value all = config.get_alias_map();
    for (const auto& [name, def] : all.items())
      if (FileAuthStore::may_run(*principal, name)) list.push_back(describe(name, def));
    send_json(res, 200, Value{{"aliases", list}});
  }

  void show_alias(const httplib::Request& req, httplib::Response& res) {
    const auto principal = authenticate(req, res);
    if (!principal) return;
    const std::string name = req.matches[1];
    const Value def = config.get_alias(name);
    if (def.is_null() || !FileAuthStore::may_run(*principal, name)) {
      send_error(res, 404, "Alias " + quoted(name) + " not found");
      return;
    }
    send_json(res, 200, describe(name, def));
  }

  // "absent" when no key is configured, "ok" when the caller presented it.
  enum class KeyCheck { Disabled, Missing, Wrong, Ok };
  KeyCheck check_key(const httplib::Request& req, const char* setting) {
    const std::string expected = text_setting(setting);
    if (expected.empty()) return KeyCheck::Disabled;
    if (!req.has_header("X-API-Key")) return KeyCheck::Missing;
    return secret_equals(req.get_header_value("X-API-Key"), expected) ? KeyCheck::Ok : KeyCheck::Wrong;
  }

  void health(const httplib::Request& req, httplib::Response& res) {
    const KeyCheck k = check_key(req, "HealthApiKey");
    if (k == KeyCheck::Wrong) {
      send_error(res, 401, "Invalid API key");
      return;
    }
    const LogHealth logs = logging.log_health();
    Value body{{"status", logs.degraded ? "degraded" : "ok"}};
    if (logs.degraded) body["reason"] = *logs.degraded;
    if (k == KeyCheck::Ok) {
      body["logs"] = logs.details;
      body["version"] = version;
      body["uptime_seconds"] = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started).count();
      body["aliases"] = config.get_alias_map().size();
      body["users"] = auth.user_count();
      body["jwt_keys"] = auth.public_key_count();
      body["runs_in_flight"] = metrics.in_flight.load();
      body["events"] = config.status();
    }
    send_json(res, 200, std::move(body));
  }

  void logs(const httplib::Request& req, httplib::Response& res) {
    const KeyCheck k = check_key(req, "LogsApiKey");
    if (k == KeyCheck::Disabled) {
      send_error(res, 404, "Not found");
      return;
    }
    if (k != KeyCheck::Ok) {
      send_error(res, 401, "Invalid API key");
      return;
    }
    const std::string cid = req.matches[1];
    if (!is_uuid(cid)) {
      send_error(res, 400, "Not a correlation id");
      return;
    }
    const std::string log_dir = text_setting("LogDir");
    Value files = Value::array();
    auto add = [&](const fs::path& p, const std::string& rel) {
      std::error_code ec;
      if (!fs::is_regular_file(fs::symlink_status(p, ec))) return;
      std::string content;
      try {
        content = portico::read_file(p.string());
      } catch (const std::exception&) {
        return;
      }
      const bool truncated = content.size() > kMaxLogFileBytes;
      const size_t size = content.size();
      if (truncated) content.resize(kMaxLogFileBytes);
      files.push_back(Value{{"path", rel}, {"size", size}, {"truncated", truncated},
                            {"content", decode_utf8_replace(content)}});
    };
    std::error_code ec;
    const fs::path dir = fs::path(log_dir) / cid;
    if (fs::is_directory(fs::symlink_status(dir, ec))) {
      for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
           it.increment(ec))
        add(it->path(), fs::relative(it->path(), log_dir).string());
    }
    for (auto it = fs::directory_iterator(log_dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.size() > cid.size() && name.compare(0, cid.size(), cid) == 0) add(it->path(), name);
    }
    if (files.empty()) {
      send_error(res, 404, "No preserved files for this correlation id");
      return;
    }
    send_json(res, 200, Value{{"correlation_id", cid}, {"files", files}});
  }

  std::string version = "unknown";
};

HttpApiServer::HttpApiServer(ConfigStore& config, FileAuthStore& auth, Logging& logging, Executor& executor)
    : impl_(std::make_unique<Impl>(config, auth, logging, executor)) {}

HttpApiServer::~HttpApiServer() = default;

void HttpApiServer::set_version(const std::string& version) { impl_->version = version; }

void HttpApiServer::start() {
  Impl& m = *impl_;
  const Value ssl = m.config.get("SslEnabled");
  std::unique_ptr<httplib::Server> server;
  if (ssl.is_boolean() && ssl.get<bool>()) {
    const std::string cert = m.text_setting("SslCert"), key = m.text_setting("SslKey");
    auto tls = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
    if (!tls->is_valid()) throw std::runtime_error("Cannot load TLS certificate " + cert + " and key " + key);
    server = std::move(tls);
  } else {
    server = std::make_unique<httplib::Server>();
  }
  const Value threads_v = m.config.get("MaxConcurrentRuns");
  const size_t threads = threads_v.is_number_integer() ? threads_v.get<size_t>() : 64;
  server->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  const Value max_bytes = m.config.get("MaxRequestBytes");
  server->set_payload_max_length(max_bytes.is_number_integer() ? max_bytes.get<size_t>() : (1u << 20));
  server->set_keep_alive_timeout(2);
  // Headers and body go out in separate writes; without this Nagle holds the body for a delayed ACK.
  server->set_tcp_nodelay(true);
  server->set_keep_alive_max_count(1000);
  server->set_read_timeout(30);
  server->set_write_timeout(30);

  server->Post(R"(/v1/run/([^/]+))", m.wrap([&m](const auto& q, auto& r) { m.run(q, r); }));
  server->Get("/v1/aliases", m.wrap([&m](const auto& q, auto& r) { m.list_aliases(q, r); }));
  server->Get(R"(/v1/aliases/([^/]+))", m.wrap([&m](const auto& q, auto& r) { m.show_alias(q, r); }));
  server->Get("/health", m.wrap([&m](const auto& q, auto& r) { m.health(q, r); }));
  server->Get("/metrics", m.wrap([&m](const auto&, auto& r) {
    r.set_content(m.metrics.render() + m.logging.log_health().metrics, "text/plain; version=0.0.4");
  }));
  server->Get(R"(/v1/logs/([^/]+))", m.wrap([&m](const auto& q, auto& r) { m.logs(q, r); }));

  // Known paths with the wrong method answer 405 instead of a bare 404.
  auto not_allowed = m.wrap([](const auto&, auto& r) { send_error(r, 405, "Method not allowed"); });
  for (const char* path : {R"(/v1/run/([^/]+))", "/v1/aliases", R"(/v1/aliases/([^/]+))", "/health", "/metrics",
                           R"(/v1/logs/([^/]+))"}) {
    const bool is_run = std::strncmp(path, "/v1/run/", 8) == 0;
    if (!is_run) server->Post(path, not_allowed);
    else server->Get(path, not_allowed);
    server->Put(path, not_allowed);
    server->Delete(path, not_allowed);
    server->Patch(path, not_allowed);
  }
  server->set_error_handler(httplib::Server::HandlerWithResponse(
      [](const httplib::Request&, httplib::Response& res) -> httplib::Server::HandlerResponse {
    if (!res.has_header("X-Correlation-ID")) res.set_header("X-Correlation-ID", uuid4());
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    const char* msg = res.status == 404   ? "Not found"
                      : res.status == 413 ? "Request body too large"
                      : res.status == 400 ? "Bad request"
                                          : "Request failed";
    send_error(res, res.status, msg);
    return httplib::Server::HandlerResponse::Handled;
  }));
  server->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    send_error(res, 500, "Internal error");
  });

  const std::string address = m.text_setting("ListenAddress");
  const Value port_v = m.config.get("ListenPort");
  const int port = port_v.is_number_integer() ? port_v.get<int>() : 8080;
  {
    std::lock_guard<std::mutex> l(m.mu);
    if (m.stop_requested) return;
    if (!server->bind_to_port(address.empty() ? "127.0.0.1" : address, port))
      throw std::runtime_error("Cannot listen on " + address + ":" + std::to_string(port) + ": " +
                               std::strerror(errno));
    widen_backlog(port);
    m.server = std::move(server);
    m.bound_port = port;
  }
  m.cv.notify_all();
  app_log()->info("Listening on " + std::string(ssl.is_boolean() && ssl.get<bool>() ? "https" : "http") + "://" +
                  address + ":" + std::to_string(port));
  m.server->listen_after_bind();
  std::lock_guard<std::mutex> l(m.mu);
  m.finished = true;
}

void HttpApiServer::graceful_shutdown() {
  Impl& m = *impl_;
  // cpp-httplib's stop() does nothing until the accept loop runs, so a stop
  // that lands between bind and listen would be lost: wait for the loop.
  for (int i = 0; i < 1000; ++i) {
    {
      std::lock_guard<std::mutex> l(m.mu);
      m.stop_requested = true;
      if (!m.server || m.finished) return;  // start() sees the flag before it binds, or is done
      if (m.server->is_running()) {
        m.server->stop();
        return;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int HttpApiServer::wait_until_listening(int timeout_ms) const {
  std::unique_lock<std::mutex> l(impl_->mu);
  impl_->cv.wait_for(l, std::chrono::milliseconds(timeout_ms), [&] { return impl_->bound_port != 0; });
  return impl_->bound_port;
}

}  // namespace portico
