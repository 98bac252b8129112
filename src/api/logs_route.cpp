// GET /v1/logs/{correlation_id}: the files preserved for one run, for holders
// of LogsApiKey. Runs on the work pool: it reads files.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "api/gateway.h"
#include "common/fd.h"
#include "common/secret.h"
#include "common/text.h"

namespace portico::api {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxLogFileBytes = 1 << 20;

// The first `limit` bytes and the whole size; a preserved stream of gigabytes
// is not read whole to show its first megabyte.
std::optional<std::pair<std::string, size_t>> read_head(const std::string& path, size_t limit) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::string content(std::min(limit, static_cast<size_t>(st.st_size)), '\0');
  size_t got = 0;
  while (got < content.size()) {
    const ssize_t n = ::read(fd.get(), content.data() + got, content.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  content.resize(got);
  return std::make_pair(std::move(content), static_cast<size_t>(st.st_size));
}

}  // namespace

void Gateway::logs(const ExchangePtr& ex) {
  const std::shared_ptr<const Settings> settings = config_.settings();
  const std::string expected = settings->logs_api_key.value_or("");
  if (expected.empty()) return ex->reply(error_answer(404, "Not found"));
  if (!secret_equals(ex->field("X-API-Key"), expected)) return ex->reply(error_answer(401, "Invalid API key"));
  const std::string cid = ex->params()[0];
  if (!is_uuid(cid)) return ex->reply(error_answer(400, "Not a correlation id"));
  const std::string& log_dir = settings->log_dir;
  Value files = Value::array();
  auto add = [&](const fs::path& p, const std::string& rel) {
    auto head = read_head(p.string(), kMaxLogFileBytes);
    if (!head) return;
    auto& [content, size] = *head;
    const bool truncated = size > content.size();
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
  if (files.empty()) return ex->reply(error_answer(404, "No preserved files for this correlation id"));
  ex->reply(json_answer(200, Value{{"correlation_id", cid}, {"files", std::move(files)}}));
}

}  // namespace portico::api
