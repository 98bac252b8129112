#include "docker/docker.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <mutex>
#include <sstream>

#include "common/text.h"

namespace portico::docker {
namespace {

constexpr const char* kMaxApiVersion = "1.41";
constexpr const char* kDefaultSocket = "/var/run/docker.sock";

void curl_global() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

class CurlTransport final : public Transport {
 public:
  CurlTransport(std::string base, std::string socket, bool tls, std::string cert_path)
      : base_(std::move(base)), socket_(std::move(socket)), tls_(tls), cert_path_(std::move(cert_path)) {
    curl_global();
  }

  Response request(const std::string& method, const std::string& path, const std::string& body,
                   const std::function<bool(std::string_view)>& on_data, bool unbounded) override {
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> h(curl_easy_init(), curl_easy_cleanup);
    if (!h) throw DockerError(0, "cannot create an HTTP handle");
    CURL* c = h.get();
    Response r;
    struct Sink {
      const std::function<bool(std::string_view)>* on_data;
      std::string* body;
    } sink{&on_data, &r.body};
    const std::string url = base_ + path;
    char errbuf[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 10L);
    if (!unbounded) {
      // 60 s of silence is a dead Engine; long transfers that keep moving are fine.
      curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
      curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 60L);
    }
    if (!socket_.empty()) curl_easy_setopt(c, CURLOPT_UNIX_SOCKET_PATH, socket_.c_str());
    if (tls_) {
      const std::string ca = cert_path_ + "/ca.pem", cert = cert_path_ + "/cert.pem", key = cert_path_ + "/key.pem";
      curl_easy_setopt(c, CURLOPT_CAINFO, ca.c_str());
      curl_easy_setopt(c, CURLOPT_SSLCERT, cert.c_str());
      curl_easy_setopt(c, CURLOPT_SSLKEY, key.c_str());
    }
    curl_slist* headers = nullptr;
    if (method == "POST" || method == "PUT") {
      headers = curl_slist_append(headers, "Content-Type: application/json");
      curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str());
      curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, +[](char* p, size_t, size_t n, void* ud) -> size_t {
      auto* s = static_cast<Sink*>(ud);
      if (*s->on_data) return (*s->on_data)(std::string_view(p, n)) ? n : 0;
      s->body->append(p, n);
      return n;
    });
    const CURLcode rc = curl_easy_perform(c);
    curl_slist_free_all(headers);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
    if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && r.status)) {
      throw DockerError(0, std::string("Error while talking to the Docker Engine at ") +
                               (socket_.empty() ? base_ : socket_) + ": " +
                               (errbuf[0] ? errbuf : curl_easy_strerror(rc)));
    }
    return r;
  }

 private:
  std::string base_, socket_;
  bool tls_;
  std::string cert_path_;
};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string url_encode(const std::string& s) {
  std::string out;
  static const char* hex = "0123456789ABCDEF";
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') out.push_back(static_cast<char>(c));
    else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

std::string message_of(const Response& r) {
  const Value v = Value::parse(r.body, nullptr, false);
  if (v.is_object() && v.contains("message") && v["message"].is_string()) return v["message"];
  std::string b = r.body.substr(0, 512);
  while (!b.empty() && (b.back() == '\n' || b.back() == '\r')) b.pop_back();
  return b;
}

[[noreturn]] void fail(const std::string& method, const std::string& path, const Response& r) {
  const std::string msg = message_of(r);
  const std::string text = std::to_string(r.status) + (r.status < 500 ? " Client" : " Server") + " Error for " +
                           method + " " + path + ": (\"" + msg + "\")";
  if (is_image_not_found(r.status, msg)) throw ImageNotFound(r.status, text);
  throw DockerError(r.status, text);
}

bool version_less(const std::string& a, const std::string& b) {
  int a1 = 0, a2 = 0, b1 = 0, b2 = 0;
  std::sscanf(a.c_str(), "%d.%d", &a1, &a2);
  std::sscanf(b.c_str(), "%d.%d", &b1, &b2);
  return a1 != b1 ? a1 < b1 : a2 < b2;
}

}  // namespace

std::shared_ptr<Transport> make_curl_transport(const std::string& endpoint, bool tls, const std::string& cert_path) {
  if (endpoint.empty() || endpoint == "unix://")
    return std::make_shared<CurlTransport>("http://localhost", kDefaultSocket, false, "");
  if (endpoint.rfind("unix://", 0) == 0)
    return std::make_shared<CurlTransport>("http://localhost", endpoint.substr(7), false, "");
  if (endpoint.rfind("tcp://", 0) == 0) {
    std::string hostport = endpoint.substr(6);
    while (!hostport.empty() && hostport.back() == '/') hostport.pop_back();
    const auto colon = hostport.rfind(':');
    const auto bracket = hostport.rfind(']');
    if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket) || colon + 1 == hostport.size())
      throw DockerError(0, "Invalid DOCKER_HOST " + quoted(endpoint) + ": a tcp:// address needs a port");
    return std::make_shared<CurlTransport>(std::string(tls ? "https://" : "http://") + hostport, "", tls, cert_path);
  }
  throw DockerError(0, "Invalid DOCKER_HOST " + quoted(endpoint) + ": only unix:// and tcp:// are supported");
}

Client::Client(std::shared_ptr<Transport> transport) : transport_(std::move(transport)) {
  Response r;
  try {
    r = transport_->request("GET", "/version", "");
  } catch (const DockerError& e) {
    throw DockerError(0, std::string("Error while fetching server API version: ") + e.what());
  }
  if (r.status != 200) fail("GET", "/version", r);
  const Value v = Value::parse(r.body, nullptr, false);
  const std::string engine = v.is_object() ? v.value("ApiVersion", kMaxApiVersion) : kMaxApiVersion;
  version_ = version_less(engine, kMaxApiVersion) ? engine : kMaxApiVersion;
}

std::shared_ptr<Client> Client::from_env() {
  const char* host = std::getenv("DOCKER_HOST");
  const char* verify = std::getenv("DOCKER_TLS_VERIFY");
  const char* certs = std::getenv("DOCKER_CERT_PATH");
  const char* home = std::getenv("HOME");
  const std::string cert_path = certs && *certs ? certs : std::string(home ? home : "") + "/.docker";
  return std::make_shared<Client>(make_curl_transport(host ? host : "", verify && *verify, cert_path));
}

Response Client::call(const std::string& method, const std::string& path, const std::string& body,
                      const std::function<bool(std::string_view)>& on_data, bool unbounded) const {
  return transport_->request(method, "/v" + version_ + path, body, on_data, unbounded);
}

void Client::ping() const {
  const Response r = call("GET", "/_ping");
  if (r.status != 200) fail("GET", "/_ping", r);
}

Value Client::inspect_image(const std::string& ref) const {
  const std::string path = "/images/" + ref + "/json";
  const Response r = call("GET", path);
  if (r.status != 200) fail("GET", path, r);
  return Value::parse(r.body, nullptr, false);
}

void Client::pull(const std::string& ref) const {
  const auto [repo, tag] = split_reference(ref);
  const std::string path = "/images/create?fromImage=" + url_encode(repo) + "&tag=" + url_encode(tag);
  std::string pending, error;
  auto on_line = [&](const std::string& line) {
    const Value v = Value::parse(line, nullptr, false);
    if (error.empty() && v.is_object() && v.contains("error"))
      error = v["error"].is_string() ? v["error"].get<std::string>() : v["error"].dump();
  };
  std::string raw;
  const Response r = call("POST", path, "", [&](std::string_view chunk) {
    if (raw.size() < 65536) raw.append(chunk.substr(0, 65536 - raw.size()));
    pending.append(chunk);
    for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1))
      on_line(pending.substr(0, nl));
    if (pending.size() > (1 << 20)) pending.clear();  // a line this long is not progress JSON
    return true;
  }, true);
  if (!pending.empty()) on_line(pending);
  if (r.status < 200 || r.status >= 300) fail("POST", path, Response{r.status, raw});
  if (!error.empty()) {
    if (is_image_not_found(404, error)) throw ImageNotFound(404, error);
    throw DockerError(500, error);
  }
}

std::string Client::create(const RunSpec& run_spec) const {
  Value body = Value::object();
  body["Image"] = run_spec.image;
  if (run_spec.command) body["Cmd"] = split_shell_words(*run_spec.command);
  Value env = Value::array();
  for (const auto& [k, v] : run_spec.env) env.push_back(k + "=" + v);
  body["Env"] = env;
  Value binds = Value::array();
  for (const auto& b : run_spec.binds) binds.push_back(b.host + ":" + b.container + ":" + b.mode);
  body["HostConfig"] = Value{{"Binds", binds}};
  body["AttachStdin"] = false;
  body["Tty"] = false;
  const Response r = call("POST", "/containers/create", body.dump());
  if (r.status != 201 && r.status != 200) fail("POST", "/containers/create", r);
  const Value v = Value::parse(r.body, nullptr, false);
  if (!v.is_object() || !v.contains("Id") || !v["Id"].is_string()) throw DockerError(r.status, "container create gave no id");
  return v["Id"];
}

std::string Client::run(const RunSpec& run_spec) const {
  std::string id;
  try {
    id = create(run_spec);
  } catch (const ImageNotFound&) {
    pull(run_spec.image);
    id = create(run_spec);
  }
  const std::string path = "/containers/" + id + "/start";
  Response r;
  try {
    r = call("POST", path);
  } catch (...) {
    try { remove(id, true); } catch (...) {}
    throw;
  }
  if (r.status != 204 && r.status != 304) {
    // A container whose start failed stays "created": never leave it behind.
    try { remove(id, true); } catch (...) {}
    fail("POST", path, r);
  }
  return id;
}

long long Client::wait(const std::string& id) const {
  const std::string path = "/containers/" + id + "/wait";
  const Response r = call("POST", path, "", {}, true);
  if (r.status != 200) fail("POST", path, r);
  const Value v = Value::parse(r.body, nullptr, false);
  if (v.is_object() && v.contains("StatusCode") && v["StatusCode"].is_number_integer()) return v["StatusCode"];
  return 0;
}

std::string Client::logs(const std::string& id, bool out, bool err) const {
  const std::string path = "/containers/" + id + "/logs?stdout=" + (out ? "1" : "0") + "&stderr=" + (err ? "1" : "0");
  FrameDemux demux(out && err ? -1 : out ? 1 : 2);
  std::string raw;
  const Response r = call("GET", path, "", [&](std::string_view chunk) {
    demux.feed(chunk);
    if (raw.size() < 4096) raw.append(chunk.substr(0, 4096 - raw.size()));
    return true;
  });
  if (r.status != 200) fail("GET", path, Response{r.status, raw});
  return demux.data();
}

void Client::kill(const std::string& id) const {
  const std::string path = "/containers/" + id + "/kill";
  const Response r = call("POST", path);
  if (r.status != 204) fail("POST", path, r);
}

void Client::remove(const std::string& id, bool force) const {
  const std::string path = "/containers/" + id + (force ? "?force=1" : "");
  const Response r = call("DELETE", path);
  if (r.status != 204 && r.status != 404) fail("DELETE", path, r);
}

Value Client::inspect_container(const std::string& id) const {
  const std::string path = "/containers/" + id + "/json";
  const Response r = call("GET", path);
  if (r.status != 200) fail("GET", path, r);
  return Value::parse(r.body, nullptr, false);
}

std::vector<std::string> split_shell_words(const std::string& text) {
  std::vector<std::string> words;
  std::string cur;
  bool in_word = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\'') {
      const size_t end = text.find('\'', i + 1);
      if (end == std::string::npos) throw std::runtime_error("No closing quotation");
      cur.append(text, i + 1, end - i - 1);
      i = end;
      in_word = true;
    } else if (c == '"') {
      in_word = true;
      size_t j = i + 1;
      for (; j < text.size() && text[j] != '"'; ++j) {
        if (text[j] == '\\' && j + 1 < text.size() && std::string_view("\\\"$`\n").find(text[j + 1]) != std::string_view::npos) {
          if (text[j + 1] != '\n') cur.push_back(text[j + 1]);
          ++j;
        } else {
          cur.push_back(text[j]);
        }
      }
      if (j >= text.size()) throw std::runtime_error("No closing quotation");
      i = j;
    } else if (c == '\\') {
      if (i + 1 >= text.size()) throw std::runtime_error("No escaped character");
      if (text[i + 1] != '\n') {
        cur.push_back(text[i + 1]);
        in_word = true;
      }
      ++i;
    } else if (c == ' ' || c == '\t' || c == '\n') {
      if (in_word) words.push_back(std::move(cur));
      cur.clear();
      in_word = false;
    } else {
      cur.push_back(c);
      in_word = true;
    }
  }
  if (in_word) words.push_back(std::move(cur));
  return words;
}

std::pair<std::string, std::string> split_reference(const std::string& ref) {
  const auto at = ref.rfind('@');
  if (at != std::string::npos) return {ref.substr(0, at), ref.substr(at + 1)};
  const auto colon = ref.rfind(':');
  if (colon != std::string::npos && ref.find('/', colon) == std::string::npos)
    return {ref.substr(0, colon), ref.substr(colon + 1)};
  return {ref, "latest"};
}

bool is_image_not_found(long status, const std::string& message) {
  if (status != 404) return false;
  const std::string m = lower(message);
  for (const char* phrase : {"no such image", "not found: does not exist or no pull access", "repository does not exist",
                             "was found but does not match the specified platform"})
    if (m.find(phrase) != std::string::npos) return true;
  return false;
}

void FrameDemux::feed(std::string_view chunk) {
  while (!chunk.empty()) {
    if (remaining_ == 0) {
      const size_t take = std::min(chunk.size(), 8 - header_.size());
      header_.append(chunk.substr(0, take));
      chunk.remove_prefix(take);
      if (header_.size() < 8) return;
      const auto* h = reinterpret_cast<const unsigned char*>(header_.data());
      remaining_ = (size_t{h[4]} << 24) | (size_t{h[5]} << 16) | (size_t{h[6]} << 8) | size_t{h[7]};
      keep_ = stream_ < 0 || h[0] == stream_;
      header_.clear();
      continue;
    }
    const size_t take = std::min(chunk.size(), remaining_);
    if (keep_) out_.append(chunk.substr(0, take));
    chunk.remove_prefix(take);
    remaining_ -= take;
  }
}

}  // namespace portico::docker
