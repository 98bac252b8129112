#include <algorithm>
#include <cctype>
#include <regex>

#include "docker/docker.h"
#include "logging/logging.h"

namespace portico::docker {
namespace {

constexpr int kMaxMinor = 41;  // the newest API this client speaks: 1.41
constexpr int kMinMinor = 24;
constexpr size_t kMaxPullLine = 1 << 20;
constexpr size_t kMaxMessage = 2048;

// Percent-encodes everything but unreserved characters and `safe`.
std::string encode(std::string_view s, std::string_view safe = "") {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || safe.find(static_cast<char>(c)) != std::string_view::npos) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

std::string image_path(const std::string& ref) { return encode(ref, "/:@"); }
std::string id_path(const std::string& id) { return encode(id); }

struct TooDeep {};

// Parses an answer of the Engine; nullopt for anything malformed. Nesting is
// bounded so that a hostile answer cannot exhaust the stack of later copies.
std::optional<Value> parse_json(std::string_view text) {
  try {
    Value v = Value::parse(text, [](int depth, Value::parse_event_t, Value&) {
      if (depth > 128) throw TooDeep{};
      return true;
    });
    return v;
  } catch (const Value::exception&) {
  } catch (const TooDeep&) {
  }
  return std::nullopt;
}

std::string clip(std::string s) {
  if (s.size() > kMaxMessage) s.resize(kMaxMessage);
  return s;
}

// The Engine's own words: `message` of a JSON answer, else the text itself.
std::string explanation_of(const std::string& body) {
  if (const auto v = parse_json(body); v && v->is_object() && v->contains("message") && (*v)["message"].is_string())
    return clip((*v)["message"].get<std::string>());
  std::string_view t(body);
  while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) t.remove_suffix(1);
  while (!t.empty() && std::isspace(static_cast<unsigned char>(t.front()))) t.remove_prefix(1);
  return clip(std::string(t));
}

bool ok(const Response& r) { return r.status >= 200 && r.status < 300; }

}  // namespace

Client::Client(std::shared_ptr<Transport> transport) : transport_(std::move(transport)) {
  const Request rq{"GET", "/version", "", "", false};
  try {
    const Response r = transport_->request(rq);
    if (!ok(r)) fail(rq, r);
    const auto v = parse_json(r.body);
    if (!v || !v->is_object() || !v->contains("ApiVersion") || !(*v)["ApiVersion"].is_string())
      throw DockerError(r.status, "Invalid response from the Docker Engine: no ApiVersion in /version");
    const std::string engine = (*v)["ApiVersion"];
    std::smatch m;
    static const std::regex shape(R"(1\.(\d{1,4}))");
    if (!std::regex_match(engine, m, shape))
      throw DockerError(r.status, "Invalid response from the Docker Engine: ApiVersion " + clip(engine));
    const int minor = std::stoi(m[1]);
    if (minor < kMinMinor)
      throw DockerError(r.status, "The Docker Engine speaks API " + engine + "; at least 1." +
                                      std::to_string(kMinMinor) + " is needed");
    version_ = "1." + std::to_string(std::min(minor, kMaxMinor));
  } catch (const DockerError& e) {
    throw DockerError(e.status, std::string("Error while fetching server API version: ") + e.what(), e.explanation);
  }
}

std::shared_ptr<Client> Client::from_env() {
  return std::make_shared<Client>(make_curl_transport(endpoint_from_env()));
}

Request Client::versioned(std::string method, const std::string& path, bool unbounded) const {
  return Request{std::move(method), "/v" + version_ + path, "", "", unbounded};
}

Response Client::call(const Request& rq, const OnData& on_data) const { return transport_->request(rq, on_data); }

void Client::fail(const Request& rq, const Response& r) const {
  const std::string explanation = explanation_of(r.body);
  std::string text = std::to_string(r.status);
  text += r.status >= 400 && r.status < 500 ? " Client Error" : r.status >= 500 ? " Server Error" : " Error";
  text += " for " + transport_->url_base() + rq.path + ":";
  if (!r.reason.empty()) text += " " + r.reason;
  if (!explanation.empty()) text += " (\"" + explanation + "\")";
  const bool image_request = rq.path.find("/images/") != std::string::npos;
  if (is_image_not_found(r.status, explanation, image_request)) throw ImageNotFound(r.status, text, explanation);
  throw DockerError(r.status, text, explanation);
}

Value Client::call_json(const Request& rq) const {
  const Response r = call(rq);
  if (!ok(r)) fail(rq, r);
  auto v = parse_json(r.body);
  if (!v || !v->is_object())
    throw DockerError(r.status, "Invalid response from the Docker Engine to " + rq.method + " " + rq.path);
  return std::move(*v);
}

void Client::ping() const {
  const Request rq = versioned("GET", "/_ping");
  const Response r = call(rq);
  if (!ok(r)) fail(rq, r);
  if (r.body != "OK") throw DockerError(r.status, "Unexpected answer of the Docker Engine to a ping");
}

Value Client::inspect_image(const std::string& ref) const {
  return call_json(versioned("GET", "/images/" + image_path(ref) + "/json"));
}

Value Client::inspect_container(const std::string& id) const {
  return call_json(versioned("GET", "/containers/" + id_path(id) + "/json"));
}

void Client::pull(const std::string& ref) const {
  const auto [repo, tag] = split_reference(ref);
  const Request rq = versioned("POST", "/images/create?tag=" + encode(tag) + "&fromImage=" + encode(repo), true);
  std::string line, error;
  bool skipping = false;  // inside a line too long to be progress
  auto take_line = [&] {
    if (!skipping && error.empty()) {
      if (const auto v = parse_json(line); v && v->is_object() && v->contains("error")) {
        const Value& e = (*v)["error"];
        error = clip(e.is_string() ? e.get<std::string>() : e.dump());
        if (error.empty()) error = "pull failed";
      }
    }
    line.clear();
    skipping = false;
  };
  const Response r = call(rq, [&](const Response&, std::string_view chunk) {
    for (size_t nl; !chunk.empty(); chunk.remove_prefix(nl + 1)) {
      nl = chunk.find('\n');
      const std::string_view part = chunk.substr(0, nl);
      if (!skipping && line.size() + part.size() > kMaxPullLine) {
        skipping = true;
        line.clear();
      }
      if (!skipping) line.append(part);
      if (nl == std::string_view::npos) break;
      take_line();
    }
    return true;
  });
  if (!line.empty()) take_line();
  if (!ok(r)) fail(rq, r);
  if (!error.empty()) {
    if (is_image_not_found(200, error, true)) throw ImageNotFound(404, error, error);
    throw DockerError(500, error, error);
  }
}

std::string Client::create(const std::string& body) const {
  Request rq = versioned("POST", "/containers/create");
  rq.body = body;
  rq.content_type = "application/json";
  const Value v = call_json(rq);
  if (!v.contains("Id") || !v["Id"].is_string() || v["Id"].get<std::string>().empty())
    throw DockerError(201, "The Docker Engine created a container without an id");
  return v["Id"];
}

std::string Client::run(const RunOptions& run_options) const {
  Value body = Value::object();
  body["Image"] = run_options.image;
  if (run_options.command) body["Cmd"] = split_shell_words(*run_options.command);
  Value env = Value::array();
  for (const auto& [k, v] : run_options.env) env.push_back(k + "=" + v);
  body["Env"] = std::move(env);
  if (!run_options.labels.empty()) body["Labels"] = run_options.labels;
  body["AttachStdin"] = false;
  body["AttachStdout"] = false;
  body["AttachStderr"] = false;
  body["Tty"] = false;
  body["OpenStdin"] = false;
  Value binds = Value::array();
  for (const auto& b : run_options.binds) {
    // The Engine splits a bind at ':'; one inside a path would mount something else.
    if (b.host.find(':') != std::string::npos || b.container.find(':') != std::string::npos)
      throw std::invalid_argument("A bind mount path cannot contain ':': " + b.host + " -> " + b.container);
    binds.push_back(b.host + ":" + b.container + (b.mode.empty() ? "" : ":" + b.mode));
  }
  body["HostConfig"] = Value{{"Binds", std::move(binds)}};
  const std::string json = body.dump();

  std::string id;
  try {
    id = create(json);
  } catch (const ImageNotFound&) {
    pull(run_options.image);
    id = create(json);
  }

  const Request rq = versioned("POST", "/containers/" + id_path(id) + "/start");
  try {
    const Response r = call(rq);
    if (!ok(r) && r.status != 304) {
        fail(rq, r);
    }
  } catch (...) {
    // The container stays "created" (or, after a broken connection, may even run): never leave it behind.
    try {
      remove(id, true);
    } catch (const std::exception& e) {
      app_log()->warn("Could not remove container " + id + " after its start failed: " + e.what());
    }
    throw;
  }
  return id;
}

long long Client::wait(const std::string& id, const std::atomic<bool>* cancel) const {
  Request rq = versioned("POST", "/containers/" + id_path(id) + "/wait", true);
  rq.cancel = cancel;
  const Response r = call(rq);
  if (!ok(r)) fail(rq, r);
  const auto v = parse_json(r.body);
  if (!v || !v->is_object()) throw DockerError(r.status, "Invalid response from the Docker Engine to " + rq.path);
  if (!v->contains("StatusCode") || (*v)["StatusCode"].is_null()) return 0;
  const Value& code = (*v)["StatusCode"];
  if (!code.is_number_integer()) throw DockerError(r.status, "Invalid StatusCode from the Docker Engine: " + clip(code.dump()));
  return code.get<long long>();
}

std::string Client::logs(const std::string& id, bool out, bool err) const {
  bool over_limit = false;
  return logs(id, out, err, UINT64_MAX, over_limit);
}

std::string Client::logs(const std::string& id, bool out, bool err, uint64_t max_bytes, bool& over_limit) const {
  // Only a container without a TTY gets framed logs; at API 1.41 the answer does not say which.
  const Value attrs = inspect_container(id);
  bool framed = true;
  if (attrs.contains("Config") && attrs["Config"].is_object()) {
    const Value tty = attrs["Config"].value("Tty", Value(false));
    framed = !(tty.is_boolean() && tty.get<bool>());
  }
  const Request rq = versioned("GET", "/containers/" + id_path(id) + "/logs?stdout=" + (out ? "1" : "0") +
                                          "&stderr=" + (err ? "1" : "0") + "&timestamps=0&follow=0&tail=all");
  FrameDemux demux(out, err);
  std::string raw;
  over_limit = false;
  const Response r = call(rq, [&](const Response&, std::string_view chunk) {
    std::string* data = &raw;
    if (framed) {
      demux.feed(chunk);
      data = &demux.data();
    } else {
      raw.append(chunk);
    }
    if (data->size() <= max_bytes) return true;
    data->resize(static_cast<size_t>(max_bytes));
    over_limit = true;
    return false;
  });
  if (!ok(r)) fail(rq, r);
  if (!framed) return raw;
  if (!over_limit) demux.finish();
  if (demux.error()) throw DockerError(500, "Reading the logs of container " + id + " failed: " + *demux.error());
  return std::move(demux.data());
}

void Client::watch_output(const std::string& id,
                          const std::function<bool(bool is_stderr, std::string_view piece)>& on_output,
                          const std::atomic<bool>* cancel) const {
  Request rq = versioned("GET", "/containers/" + id_path(id) + "/logs?stdout=1&stderr=1&timestamps=0&follow=1&tail=all",
                         true);
  rq.cancel = cancel;
  bool more = true;
  FrameDemux demux([&](int stream, std::string_view piece) {
    if (more) more = on_output(stream == 2, piece);
  });
  Response r;
  try {
    r = call(rq, [&](const Response&, std::string_view chunk) {
      demux.feed(chunk);
      if (demux.error()) throw DockerError(500, "Following the logs of container " + id + " failed: " + *demux.error());
      return more;
    });
  } catch (const DockerError&) {
    if (cancel && cancel->load()) return;  // given up before the Engine said anything
    throw;
  }
  if (!ok(r)) fail(rq, r);
}

Value Client::list_containers(const Value& filters) const {
  const Request rq = versioned("GET", "/containers/json?all=1&filters=" + encode(filters.dump()));
  const Response r = call(rq);
  if (!ok(r)) fail(rq, r);
  auto v = parse_json(r.body);
  if (!v || !v->is_array()) throw DockerError(r.status, "Invalid response from the Docker Engine to " + rq.path);
  for (const Value& c : *v)
    if (!c.is_object() || !c.contains("Id") || !c["Id"].is_string())
      throw DockerError(r.status, "Invalid container in the Docker Engine's answer to " + rq.path);
  return std::move(*v);
}

void Client::kill(const std::string& id) const {
  const Request rq = versioned("POST", "/containers/" + id_path(id) + "/kill");
  const Response r = call(rq);
  if (!ok(r)) fail(rq, r);
}

void Client::remove(const std::string& id, bool force) const {
  const Request rq = versioned("DELETE", "/containers/" + id_path(id) + (force ? "?force=true" : ""));
  const Response r = call(rq);
  if (!ok(r) && r.status != 404) fail(rq, r);
}

}  // namespace portico::docker
