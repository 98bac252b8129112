// Reaching the Engine: DOCKER_* environment parsing and the libcurl transport.
//
// libcurl is loaded when the first transport is made, not linked: with its
// TLS, Kerberos and LDAP dependencies it costs about 4 MB of resident memory,
// which a gateway without container aliases should not carry.
#include <curl/curl.h>  // types and constants only
#include <dlfcn.h>
#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>

#include "common/text.h"
#include "docker/docker.h"

namespace portico::docker {
namespace {

constexpr const char* kDefaultSocket = "/var/run/docker.sock";

std::string home_dir() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  std::vector<char> buf(16384);
  passwd pw{}, *found = nullptr;
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir) return found->pw_dir;
  return "/";
}

[[noreturn]] void bad_host(const std::string& host, const std::string& why) {
  throw DockerError(0, "Invalid DOCKER_HOST " + quoted(host) + ": " + why);
}

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

bool ieq_prefix(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  return true;
}

std::string trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return std::string(s);
}

struct CurlApi {
  CURLcode (*global_init)(long);
  CURL* (*easy_init)();
  void (*easy_cleanup)(CURL*);
  CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
  CURLcode (*easy_perform)(CURL*);
  CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
  const char* (*easy_strerror)(CURLcode);
  curl_slist* (*slist_append)(curl_slist*, const char*);
  void (*slist_free_all)(curl_slist*);
};

CurlApi load_curl() {
  // Never unloaded: libcurl keeps global state once initialised.
  void* lib = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    const char* why = dlerror();
    throw DockerError(0, std::string("Cannot load libcurl: ") + (why ? why : "unknown error"));
  }
  auto need = [lib](const char* name) {
    void* f = dlsym(lib, name);
    if (!f) throw DockerError(0, std::string("Cannot load libcurl: no symbol ") + name);
    return f;
  };
  CurlApi api{};
  api.global_init = reinterpret_cast<decltype(api.global_init)>(need("curl_global_init"));
  api.easy_init = reinterpret_cast<decltype(api.easy_init)>(need("curl_easy_init"));
  api.easy_cleanup = reinterpret_cast<decltype(api.easy_cleanup)>(need("curl_easy_cleanup"));
  api.easy_setopt = reinterpret_cast<decltype(api.easy_setopt)>(need("curl_easy_setopt"));
  api.easy_perform = reinterpret_cast<decltype(api.easy_perform)>(need("curl_easy_perform"));
  api.easy_getinfo = reinterpret_cast<decltype(api.easy_getinfo)>(need("curl_easy_getinfo"));
  api.easy_strerror = reinterpret_cast<decltype(api.easy_strerror)>(need("curl_easy_strerror"));
  api.slist_append = reinterpret_cast<decltype(api.slist_append)>(need("curl_slist_append"));
  api.slist_free_all = reinterpret_cast<decltype(api.slist_free_all)>(need("curl_slist_free_all"));
  if (api.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw DockerError(0, "Cannot initialise libcurl");
  return api;
}

// Loaded once; a failed load is retried by the next caller.
const CurlApi& curl() {
  static const CurlApi api = load_curl();
  return api;
}

// State of one transfer, shared with libcurl's C callbacks. Nothing may be
// thrown through libcurl: failures are parked here and rethrown after it returns.
struct Transfer {
  CURL* handle = nullptr;
  const OnData* on_data = nullptr;
  const std::atomic<bool>* cancel = nullptr;
  Response head;
  bool head_known = false;
  bool stopped = false;  // the caller's callback asked to stop, or the request was cancelled
  bool too_large = false;
  std::exception_ptr failure;
};

size_t on_header(char* p, size_t, size_t n, void* ud) {
  auto* t = static_cast<Transfer*>(ud);
  std::string_view line(p, n);
  if (line.substr(0, 5) == "HTTP/") {
    // Each status line (a 100 Continue, then the real one) starts a new head.
    t->head = Response{};
    const auto sp1 = line.find(' ');
    const auto sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 != std::string_view::npos) t->head.reason = trim(line.substr(sp2 + 1));
  } else if (ieq_prefix(line, "content-type:")) {
    t->head.content_type = trim(line.substr(13));
  }
  return n;
}

// libcurl calls this about once a second even when nothing arrives.
int on_progress(void* ud, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(ud);
  if (!t->cancel->load()) return 0;
  t->stopped = true;
  return 1;
}

size_t on_body(char* p, size_t, size_t n, void* ud) {
  auto* t = static_cast<Transfer*>(ud);
  if (!t->head_known) {
    curl().easy_getinfo(t->handle, CURLINFO_RESPONSE_CODE, &t->head.status);
    t->head_known = true;
  }
  const std::string_view chunk(p, n);
  const bool ok = t->head.status >= 200 && t->head.status < 300;
  if (ok && t->on_data && *t->on_data) {
    try {
      if ((*t->on_data)(t->head, chunk)) return n;
      t->stopped = true;
    } catch (...) {
      t->failure = std::current_exception();
    }
    return 0;
  }
  const size_t cap = ok ? kMaxBody : kMaxErrorBody;
  if (t->head.body.size() + n > cap) {
    t->head.body.append(chunk.substr(0, cap - t->head.body.size()));
    if (ok) t->too_large = true;
    else t->stopped = true;  // the start of an error answer says all there is to say
    return 0;
  }
  t->head.body.append(chunk);
  return n;
}

class CurlTransport final : public Transport {
 public:
  explicit CurlTransport(Endpoint endpoint) : ep_(std::move(endpoint)) { curl(); }

  std::string url_base() const override {
    return ep_.socket_path.empty() ? ep_.base_url : "http+docker://localhost";
  }

  Response request(const Request& rq, const OnData& on_data) override {
    const CurlApi& api = curl();
    std::unique_ptr<CURL, void (*)(CURL*)> h(api.easy_init(), api.easy_cleanup);
    if (!h) throw DockerError(0, "Error while talking to the Docker Engine: cannot create an HTTP handle");
    CURL* c = h.get();
    Transfer t;
    t.handle = c;
    t.on_data = &on_data;
    const std::string url = ep_.base_url + rq.path;
    char errbuf[CURL_ERROR_SIZE] = {};
    api.easy_setopt(c, CURLOPT_URL, url.c_str());
    api.easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
    api.easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    api.easy_setopt(c, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    // Image references go into paths verbatim; never let "../" reach another endpoint.
    api.easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
    api.easy_setopt(c, CURLOPT_USERAGENT, "portico");
    api.easy_setopt(c, CURLOPT_CUSTOMREQUEST, rq.method.c_str());
    api.easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 10L);
    if (!rq.unbounded) {
      // A total limit would cut long log reads; 60 s of silence means a stuck Engine.
      api.easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
      api.easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 60L);
    }
    if (!ep_.socket_path.empty()) {
      api.easy_setopt(c, CURLOPT_UNIX_SOCKET_PATH, ep_.socket_path.c_str());
      api.easy_setopt(c, CURLOPT_NOPROXY, "*");
    } else {
      // A wait may be silent for hours: let the kernel notice a dead peer.
      api.easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
      api.easy_setopt(c, CURLOPT_TCP_KEEPIDLE, 60L);
      api.easy_setopt(c, CURLOPT_TCP_KEEPINTVL, 20L);
    }
    if (ep_.tls) {
      api.easy_setopt(c, CURLOPT_CAINFO, ep_.ca_file.c_str());
      api.easy_setopt(c, CURLOPT_SSLCERT, ep_.cert_file.c_str());
      api.easy_setopt(c, CURLOPT_SSLKEY, ep_.key_file.c_str());
    }
    curl_slist* headers = api.slist_append(nullptr, "Expect:");
    if (!rq.content_type.empty())
      headers = api.slist_append(headers, ("Content-Type: " + rq.content_type).c_str());
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> header_guard(headers, api.slist_free_all);
    api.easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    if (rq.method != "GET" && rq.method != "HEAD" && (rq.method != "DELETE" || !rq.body.empty())) {
      api.easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(rq.body.size()));
      api.easy_setopt(c, CURLOPT_POSTFIELDS, rq.body.data());
    }
    api.easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
    api.easy_setopt(c, CURLOPT_HEADERDATA, &t);
    api.easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
    api.easy_setopt(c, CURLOPT_WRITEDATA, &t);
    if (rq.cancel) {
      t.cancel = rq.cancel;
      api.easy_setopt(c, CURLOPT_XFERINFOFUNCTION, on_progress);
      api.easy_setopt(c, CURLOPT_XFERINFODATA, &t);
      api.easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    }

    const CURLcode rc = api.easy_perform(c);
    if (t.failure) std::rethrow_exception(t.failure);
    if (!t.head_known) api.easy_getinfo(c, CURLINFO_RESPONSE_CODE, &t.head.status);
    if (t.too_large)
      throw DockerError(t.head.status, "Answer of the Docker Engine to " + rq.method + " " + rq.path +
                                           " is larger than " + std::to_string(kMaxBody) + " bytes");
    // Cancelled before the answer began: nothing to hand back. Once it has
    // begun (a followed stream), cancelling ends it like a stop.
    if (rc == CURLE_ABORTED_BY_CALLBACK && t.stopped && !t.head_known)
      throw DockerError(0, "Gave up waiting for the Docker Engine to answer " + rq.method + " " + rq.path);
    if (rc != CURLE_OK && !((rc == CURLE_WRITE_ERROR || rc == CURLE_ABORTED_BY_CALLBACK) && t.stopped)) {
      // For a socket, curl's own text names "localhost port 80", which helps nobody.
      std::string why = errbuf[0] && ep_.socket_path.empty() ? errbuf : api.easy_strerror(rc);
      while (!why.empty() && why.back() == '\n') why.pop_back();
      long os_errno = 0;
      api.easy_getinfo(c, CURLINFO_OS_ERRNO, &os_errno);
      if (os_errno != 0) {
        const std::string cause = std::strerror(static_cast<int>(os_errno));
        if (why.find(cause) == std::string::npos) why += " (" + cause + ")";
      }
      const std::string where = ep_.socket_path.empty() ? ep_.base_url : "unix://" + ep_.socket_path;
      throw DockerError(0, "Connection to the Docker Engine at " + where + " failed: " + why);
    }
    return std::move(t.head);
  }

 private:
  Endpoint ep_;
};

}  // namespace

Endpoint parse_endpoint(const std::string& docker_host, const std::string& tls_verify, const std::string& cert_path) {
  Endpoint ep;
  if (docker_host.empty() || docker_host == "unix://") {
    ep.socket_path = kDefaultSocket;
    ep.base_url = "http://localhost";
    return ep;
  }
  if (docker_host.rfind("unix://", 0) == 0) {
    ep.socket_path = docker_host.substr(7);
    ep.base_url = "http://localhost";
    return ep;
  }
  if (docker_host.rfind("tcp://", 0) != 0) bad_host(docker_host, "only unix:// and tcp:// addresses are supported");

  std::string rest = docker_host.substr(6), prefix;
  if (const auto slash = rest.find('/'); slash != std::string::npos) {
    prefix = rest.substr(slash);
    rest.resize(slash);
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  }
  std::string host, port;
  if (!rest.empty() && rest.front() == '[') {
    const auto close = rest.find(']');
    if (close == std::string::npos) bad_host(docker_host, "unbalanced '[' in the host");
    host = rest.substr(0, close + 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') bad_host(docker_host, "unexpected text after the host");
      port = rest.substr(close + 2);
    }
  } else if (const auto colon = rest.rfind(':'); colon != std::string::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  } else {
    host = rest;
  }
  if (port.empty()) bad_host(docker_host, "a tcp:// address needs a port");
  if (!all_digits(port) || port.size() > 5 || std::stoi(port) == 0 || std::stoi(port) > 65535)
    bad_host(docker_host, "invalid port " + quoted(port));
  if (host.empty()) host = "127.0.0.1";
  for (char c : host)
    if (std::isspace(static_cast<unsigned char>(c)) || c == '@' || c == '?' || c == '#')
      bad_host(docker_host, "invalid host");

  ep.tls = !tls_verify.empty();
  ep.base_url = std::string(ep.tls ? "https://" : "http://") + host + ":" + port + prefix;
  if (ep.tls) {
    const std::string dir = cert_path.empty() ? home_dir() + "/.docker" : cert_path;
    ep.ca_file = dir + "/ca.pem";
    ep.cert_file = dir + "/cert.pem";
    ep.key_file = dir + "/key.pem";
    for (const std::string* f : {&ep.ca_file, &ep.cert_file, &ep.key_file}) {
      std::error_code ec;
      if (!std::filesystem::is_regular_file(*f, ec))
        throw DockerError(0, "DOCKER_TLS_VERIFY is set but " + quoted(*f) + " is missing (see DOCKER_CERT_PATH)");
    }
  }
  return ep;
}

Endpoint endpoint_from_env() {
  auto env = [](const char* name) {
    const char* v = std::getenv(name);
    return std::string(v ? v : "");
  };
  return parse_endpoint(env("DOCKER_HOST"), env("DOCKER_TLS_VERIFY"), env("DOCKER_CERT_PATH"));
}

std::shared_ptr<Transport> make_curl_transport(const Endpoint& endpoint) {
  return std::make_shared<CurlTransport>(endpoint);
}

}  // namespace portico::docker
