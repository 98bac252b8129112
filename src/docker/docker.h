#pragma once
// A Docker Engine API client over HTTP: the local UNIX socket by default, or
// DOCKER_HOST (unix:// or tcp://, TLS from DOCKER_TLS_VERIFY/DOCKER_CERT_PATH).
//
// Thread rules: one Client serves every request thread at once; each call
// uses its own connection, and the client holds no mutable state.

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/value.h"

namespace portico::docker {

// A failed Engine call: `status` is the HTTP status, 0 for transport errors.
class DockerError : public std::runtime_error {
 public:
  DockerError(long status, const std::string& message) : std::runtime_error(message), status(status) {}
  long status;
};

// The Engine does not know the image, and no registry could provide it.
class ImageNotFound : public DockerError {
 public:
  using DockerError::DockerError;
};

struct Response {
  long status = 0;
  std::string body;
};

// The test seam: how requests reach the Engine.
class Transport {
 public:
  virtual ~Transport() = default;
  // Sends one request. With `on_data`, the body is streamed to it instead of
  // being collected (return false to stop). `unbounded`: no silence limit.
  virtual Response request(const std::string& method, const std::string& path, const std::string& body,
                           const std::function<bool(std::string_view)>& on_data = {}, bool unbounded = false) = 0;
};

// libcurl transport. `endpoint` is a DOCKER_HOST value.
std::shared_ptr<Transport> make_curl_transport(const std::string& endpoint, bool tls, const std::string& cert_path);

struct Bind {
  std::string host, container, mode;
};

struct RunSpec {
  std::string image;
  std::optional<std::string> command;  // split by POSIX shell rules, no expansion
  std::vector<std::pair<std::string, std::string>> env;
  std::vector<Bind> binds;
};

class Client {
 public:
  // Negotiates the API version with an unversioned GET /version.
  Client(std::shared_ptr<Transport> transport);
  // From DOCKER_HOST, DOCKER_TLS_VERIFY and DOCKER_CERT_PATH; contacts the
  // Engine, so it throws DockerError when the Engine cannot be reached.
  static std::shared_ptr<Client> from_env();

  const std::string& api_version() const { return version_; }
  void ping() const;
  Value inspect_image(const std::string& ref) const;  // ImageNotFound on 404
  void pull(const std::string& ref) const;
  // Creates (pulling a missing image once) and starts a detached container;
  // returns its id. A container whose start fails is removed before throwing.
  std::string run(const RunSpec& run_spec) const;
  long long wait(const std::string& id) const;
  std::string logs(const std::string& id, bool out, bool err) const;
  void kill(const std::string& id) const;
  void remove(const std::string& id, bool force = true) const;
  Value inspect_container(const std::string& id) const;

 private:
  Response call(const std::string& method, const std::string& path, const std::string& body = "",
                const std::function<bool(std::string_view)>& on_data = {}, bool unbounded = false) const;
  std::string create(const RunSpec& run_spec) const;

  std::shared_ptr<Transport> transport_;
  std::string version_;
};

// Words of a command line by POSIX shell quoting rules, without expansion.
std::vector<std::string> split_shell_words(const std::string& text);
// (repository, tag or digest): the last "@" first, else the last ":" with no
// "/" after it; no tag means "latest".
std::pair<std::string, std::string> split_reference(const std::string& ref);
// Whether a 404 answer means the image does not exist.
bool is_image_not_found(long status, const std::string& message);

// Splits the Engine's multiplexed log stream (8-byte frame headers) into the
// bytes of one stream, whatever the chunk boundaries.
class FrameDemux {
 public:
  explicit FrameDemux(int stream) : stream_(stream) {}
  void feed(std::string_view chunk);
  const std::string& data() const { return out_; }

 private:
  int stream_;
  std::string header_;
  size_t remaining_ = 0;
  bool keep_ = false;
  std::string out_;
};

}  // namespace portico::docker
