#pragma once
// A Docker Engine API client: the local UNIX socket "/var/run/docker.sock" by
// default, or DOCKER_HOST (unix://path, tcp://host:port) with TLS from
// DOCKER_TLS_VERIFY and DOCKER_CERT_PATH.
//
// Thread rules: one Client may be used by any number of threads at once. It
// holds no mutable state after construction; every call opens its own
// connection (a fresh libcurl handle), so a blocking wait() on one thread
// never holds up a kill() on another. A Transport used by a Client must be
// safe to call concurrently as well.
//
// Time limits: a call fails after 60 s without a byte from the Engine, except
// wait() and pull(), which may take as long as the container or the registry
// needs. Connecting over TCP gives up after 10 s.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/value.h"

namespace portico::docker {

// A failed Engine call. `status` is the HTTP status, 0 when the Engine could
// not be reached or the connection broke; errors that the Engine reports
// inside a streamed answer count as 500 (404 when they say the image does not
// exist). `explanation` is the Engine's own message, when it gave one.
class DockerError : public std::runtime_error {
 public:
  DockerError(long status, const std::string& what, std::string explanation = {})
      : std::runtime_error(what), status(status), explanation(std::move(explanation)) {}
  long status;
  std::string explanation;
};

// Whether `e` says that the Engine stopped answering (could not be reached,
// broke off or went silent), as opposed to answering with a refusal.
inline bool is_unreachable(const std::exception& e) {
  const auto* d = dynamic_cast<const DockerError*>(&e);
  return d && d->status == 0;
}

// The image does not exist locally, and no registry could provide it.
class ImageNotFound : public DockerError {
 public:
  using DockerError::DockerError;
};

// ---- Transport: the seam between the client and the wire ------------------

struct Request {
  std::string method;        // "GET", "POST", "DELETE"
  std::string path;          // with its query, already encoded
  std::string body;
  std::string content_type;  // of `body`; empty when there is no body
  bool unbounded = false;    // no limit on silence (wait, pull)
  // Looked at about once a second, even while the Engine is silent: once set,
  // a request whose answer has not begun is given up (DockerError, status 0),
  // and one whose answer is streaming ends there without an error.
  const std::atomic<bool>* cancel = nullptr;
};

struct Response {
  long status = 0;
  std::string reason;        // of the status line, e.g. "Not Found"
  std::string content_type;
  // The whole body of a 2xx answer read without a callback (at most
  // kMaxBody bytes), or the first kMaxErrorBody bytes of any other answer.
  std::string body;
};

inline constexpr size_t kMaxBody = 16 << 20;
inline constexpr size_t kMaxErrorBody = 64 << 10;

// Receives a 2xx answer's body as it arrives; `head` has the status and
// headers, never the body. Returning false stops reading without an error.
// Whatever it throws comes out of Transport::request.
using OnData = std::function<bool(const Response& head, std::string_view chunk)>;

class Transport {
 public:
  virtual ~Transport() = default;
  // Sends one request and reads the answer. Throws DockerError with status 0
  // when the Engine cannot be reached, the connection breaks or goes silent.
  virtual Response request(const Request& request, const OnData& on_data = {}) = 0;
  // How error messages name the Engine's base URL.
  virtual std::string url_base() const { return "http+docker://localhost"; }
};

// Where the Engine is and how to reach it.
struct Endpoint {
  std::string socket_path;  // set for unix://; then base_url is http://localhost
  std::string base_url;     // http(s)://host:port[/prefix]
  bool tls = false;
  std::string ca_file, cert_file, key_file;
};

// Reads the values of DOCKER_HOST, DOCKER_TLS_VERIFY and DOCKER_CERT_PATH
// (empty = unset). Throws DockerError (status 0) for a value that cannot work.
Endpoint parse_endpoint(const std::string& docker_host, const std::string& tls_verify, const std::string& cert_path);
Endpoint endpoint_from_env();
std::shared_ptr<Transport> make_curl_transport(const Endpoint& endpoint);

// ---- Client ------------------------------------------------------------------

struct Bind {
  std::string host, container, mode;  // mode "ro" or "rw" (empty: the Engine's default)
};

struct RunOptions {
  std::string image;
  std::optional<std::string> command;  // split into words by POSIX shell rules, no expansion
  std::vector<std::pair<std::string, std::string>> env;
  std::vector<Bind> binds;
  std::map<std::string, std::string> labels = {};
};

class Client {
 public:
  // Negotiates the API version (an unversioned GET /version; the Engine's
  // version, at most 1.41). Throws DockerError when that fails.
  explicit Client(std::shared_ptr<Transport> transport);
  // A client for the Engine that the environment names. Contacts the Engine,
  // so it throws DockerError when the Engine cannot be reached.
  static std::shared_ptr<Client> from_env();

  const std::string& api_version() const { return version_; }

  void ping() const;
  // ImageNotFound when the Engine does not hold the image.
  Value inspect_image(const std::string& ref) const;
  // Pulls `ref` (no tag means latest) and reads the progress to its end; an
  // error reported inside the progress is a failure too.
  void pull(const std::string& ref) const;
  // Creates and starts a detached container, pulling the image once when the
  // Engine does not hold it; returns the container id. A container whose
  // start fails is removed before the error is thrown. An unbalanced quote in
  // the command or a ':' inside a bind path throws std::invalid_argument
  // before the Engine is contacted.
  std::string run(const RunOptions& run_options) const;
  // Blocks until the container stops (killing it from another thread ends
  // the wait); returns its StatusCode, 0 when the Engine gives none. Setting
  // `cancel` gives the wait up (DockerError, status 0), so a silent Engine
  // cannot hold the caller for ever.
  long long wait(const std::string& id, const std::atomic<bool>* cancel = nullptr) const;
  // The bytes the container wrote to the chosen streams, without framing.
  std::string logs(const std::string& id, bool out, bool err) const;
  // The same, reading no further than `max_bytes` of them: `over_limit`
  // tells whether the container wrote more than it returns.
  std::string logs(const std::string& id, bool out, bool err, uint64_t max_bytes, bool& over_limit) const;
  // Follows the output of a container made by run() from its start, until
  // the container stops, `cancel` is set or `on_output` returns false.
  // `on_output` gets each piece of output and whether it went to stderr.
  void watch_output(const std::string& id, const std::function<bool(bool is_stderr, std::string_view piece)>& on_output,
                    const std::atomic<bool>* cancel = nullptr) const;
  void kill(const std::string& id) const;
  // A container that no longer exists is not an error.
  void remove(const std::string& id, bool force = true) const;
  Value inspect_container(const std::string& id) const;
  // Every container, running or not, that matches the Engine's `filters`
  // (e.g. {"label": ["k=v"], "status": ["exited"]}): the Engine's summaries,
  // each with at least "Id", "State" and "Labels".
  Value list_containers(const Value& filters) const;

 private:
  Request versioned(std::string method, const std::string& path, bool unbounded = false) const;
  Response call(const Request& request, const OnData& on_data = {}) const;
  Value call_json(const Request& request) const;
  std::string create(const std::string& body) const;
  [[noreturn]] void fail(const Request& request, const Response& response) const;

  std::shared_ptr<Transport> transport_;
  std::string version_;
};

// ---- Helpers (public for their tests) -----------------------------------------

// Words of a command line by POSIX shell quoting rules, without expansion.
// Throws std::invalid_argument for an unbalanced quote or a trailing backslash.
std::vector<std::string> split_shell_words(std::string_view text);

// (repository, tag or digest): the last "@" first, else the last ":" with no
// "/" after it; no tag means "latest".
std::pair<std::string, std::string> split_reference(const std::string& ref);

// The first registry error code that the Engine passes on in `message`
// ("manifest unknown", "denied", ...: the code in lower case, "_" as a space).
std::optional<std::string> registry_error_code(const std::string& message);

// Whether an Engine error means that the image does not exist: by the HTTP
// status and the registry error code, never by a registry's own wording.
// `status` 200 stands for an error inside a pull's progress stream;
// `image_request` is true for the image routes (pull, inspect).
bool is_image_not_found(long status, const std::string& message, bool image_request);

// Separates the Engine's multiplexed log stream (frames of an 8-byte header:
// stream, three zero bytes, big-endian length) into the chosen streams,
// whatever the chunk boundaries.
class FrameDemux {
 public:
  FrameDemux(bool out, bool err) : out_(out), err_(err) {}
  // Hands each piece of output to `sink` (stream 1 stdout, 2 stderr) instead of keeping it.
  using Sink = std::function<void(int stream, std::string_view piece)>;
  explicit FrameDemux(Sink sink) : out_(false), err_(false), sink_(std::move(sink)) {}
  void feed(std::string_view chunk);
  // Call at the end of the stream; a stream cut inside a frame is an error.
  void finish();
  std::string& data() { return data_; }
  // Set when the stream carried the Engine's own error or was not framed.
  const std::optional<std::string>& error() const { return error_; }

 private:
  bool out_, err_;
  unsigned char header_[8] = {};
  size_t header_len_ = 0;
  size_t remaining_ = 0;
  int stream_ = 0;
  std::string system_error_;
  Sink sink_;
  std::string data_;
  std::optional<std::string> error_;
};

}  // namespace portico::docker
