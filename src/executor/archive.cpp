// Directory outputs as Base64 ZIP archives. The command controls what lies
// below the run directory, so the walk descends only through real
// directories and every file is opened link-free and checked again once open.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "common/fd.h"
#include "common/text.h"
#include "executor/files.h"

namespace portico {
namespace {

// End-of-central-directory record alone: what an archive without members is.
const std::string kEmptyZipBase64 = "UEsFBgAAAAAAAAAAAAAAAAAAAAAAAA==";

// zlib's own default; libzip's "default" (0) means its highest level instead.
const zip_uint32_t kZlibDefaultLevel = 6;

// What any archive costs whatever its content: the end record, and per member
// a local header and a central entry (each with the name) and DEFLATE's best
// ratio on the data. Past the bound, this fails an archive before any reading.
const uint64_t kZipEndBytes = 22;
const uint64_t kZipMemberBytes = 30 + 46;
const uint64_t kDeflateBestRatio = 1032;

struct ArchiveMember {
  std::string name;  // path inside the archive
  std::string path;  // link-free path to open
  dev_t dev;
  ino_t ino;
  off_t size;
  time_t mtime;
  mode_t mode;
};

// libzip reads members only while the archive is closed; each member opens its
// file then, so only one descriptor is held at a time however many files a
// directory has.
struct MemberSource {
  const ArchiveMember* m;
  const std::optional<std::string>* root;
  std::string* failure;  // first failure of the whole archive, for the message
  zip_source_t* archive;  // being written: its offset is the archive's size so far
  uint64_t max_bytes;
  bool* over;            // set when the archive passed max_bytes
  int fd = -1;
  zip_error_t error;

  zip_int64_t fail(int zip_code, int err, const std::string& what) {
    zip_error_set(&error, zip_code, err);
    if (failure->empty()) failure->assign(what);
    return -1;
  }

  zip_int64_t open_file() {
    const std::string label = "cannot archive " + portico::quoted(m->path);
    fd = open_fd(m->path, kOutputReadFlags | O_NOFOLLOW).release();
    if (fd < 0) {
      int err = errno;
      return fail(ZIP_ER_OPEN, err, label + ": " + std::system_category().message(err));
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != m->dev || st.st_ino != m->ino ||
        (*root && !fd_within(fd, **root))) {
      close_file();
      return fail(ZIP_ER_CHANGED, 0, label + ": the file changed while it was archived");
    }
    return 0;
  }

  zip_int64_t read_file(void* data, zip_uint64_t len) {
    const zip_int64_t written = zip_source_tell_write(archive);
    if (written >= 0 && static_cast<uint64_t>(written) > max_bytes) {
      *over = true;
      return fail(ZIP_ER_CANCELLED, 0, "");
    }
    for (;;) {
      ssize_t n = ::read(fd, data, len);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      int err = errno;
      return fail(ZIP_ER_READ, err,
                  "cannot archive " + portico::quoted(m->path) + ": " + std::system_category().message(err));
    }
  }

  void close_file() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  static zip_int64_t callback(void* userdata, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
    auto* self = static_cast<MemberSource*>(userdata);
    switch (cmd) {
      case ZIP_SOURCE_OPEN:
        return self->open_file();
      case ZIP_SOURCE_READ:
        return self->read_file(data, len);
      case ZIP_SOURCE_CLOSE:
        self->close_file();
        return 0;
      case ZIP_SOURCE_STAT: {
        auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, len, &self->error);
        if (!st) return -1;
        st->size = static_cast<zip_uint64_t>(self->m->size);
        st->mtime = self->m->mtime;
        st->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
        return sizeof(zip_stat_t);
      }
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&self->error, data, len);
      case ZIP_SOURCE_FREE:
        self->close_file();
        zip_error_fini(&self->error);
        delete self;
        return 0;
      case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                              ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                                              ZIP_SOURCE_SUPPORTS, -1);
      default:
        zip_error_set(&self->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
  }
};

void check_zip_time(const std::string& path, time_t mtime) {
  struct tm tm;
  if (!::localtime_r(&mtime, &tm) || tm.tm_year + 1900 < 1980 || tm.tm_year + 1900 > 2107)
    throw std::runtime_error("cannot archive " + portico::quoted(path) +
                             ": ZIP archives hold modification times from 1980 to 2107 only");
}

// The members of one archive as the walk finds them, with what they cost at least.
struct Walk {
  const std::optional<std::string>& root;
  const OutputBound& bound;
  std::vector<ArchiveMember> members;
  uint64_t floor = kZipEndBytes;
};

// Adds the file `name` of the directory `dir_fd` unless it is no regular file
// or, through a link, leads outside `root`.
void add_member(int dir_fd, const std::string& dir_path, const std::string& prefix, const std::string& name,
                Walk& w) {
  const std::optional<std::string>& root = w.root;
  const std::string path = path_join({dir_path, name});
  struct stat st;
  if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    throw_os_error(errno, "cannot archive " + portico::quoted(path));
  std::string open_path = path;
  if (S_ISLNK(st.st_mode)) {
    auto resolved = real_path(path);
    if (!resolved) throw_os_error(errno, "cannot archive " + portico::quoted(path));
    if (root && !path_within(*resolved, *root)) return;
    if (::lstat(resolved->c_str(), &st) != 0)
      throw_os_error(errno, "cannot archive " + portico::quoted(path));
    open_path = std::move(*resolved);
  }
  // Directories reached through links are not followed; pipes, sockets and
  // devices have no content worth archiving and could block the reader.
  if (!S_ISREG(st.st_mode)) return;
  check_zip_time(path, st.st_mtime);
  w.floor += kZipMemberBytes + 2 * (prefix.size() + name.size()) +
             static_cast<uint64_t>(st.st_size) / kDeflateBestRatio;
  if (w.floor > w.bound.max_bytes) w.bound.passed();
  w.members.push_back(
      {prefix + name, std::move(open_path), st.st_dev, st.st_ino, st.st_size, st.st_mtime, st.st_mode});
}

// How deep a directory output may nest. Each level being walked holds a
// descriptor, and a command can leave a tree of any depth behind.
const size_t kMaxArchiveDepth = 256;

// Top-down, depth first: a directory's files by name, then its subdirectories
// in listing order. Descends only through real directories (O_NOFOLLOW). The
// walk keeps its own stack, which holds each level's name only: recursion, or
// a full path per level, would let a deep tree exhaust the thread's stack or
// take memory quadratic in its depth.
void walk(int fd, const std::string& top_path, Walk& w) {
  struct Level {
    std::unique_ptr<DIR, int (*)(DIR*)> dir;
    std::string name;  // empty at the top
    std::vector<std::string> subdirs;
    size_t next = 0;
  };
  std::vector<Level> stack;
  auto path_of = [&](const std::string& last, bool as_prefix) {
    std::string out = as_prefix ? "" : top_path;
    for (size_t i = 1; i < stack.size(); ++i) out = as_prefix ? out + stack[i].name + "/" : path_join({out, stack[i].name});
    if (!last.empty()) out = as_prefix ? out + last + "/" : path_join({out, last});
    return out;
  };
  auto enter = [&](int dir_fd, std::string name) {
    DIR* dir = ::fdopendir(dir_fd);
    if (!dir) {
      ::close(dir_fd);
      return;
    }
    Level level{{dir, ::closedir}, std::move(name), {}, 0};
    std::vector<std::string> files;
    while (struct dirent* e = ::readdir(dir)) {
      const std::string entry = e->d_name;
      if (entry == "." || entry == "..") continue;
      unsigned char type = e->d_type;
      if (type == DT_UNKNOWN) {
        struct stat st;
        if (::fstatat(::dirfd(dir), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        type = S_ISDIR(st.st_mode)   ? DT_DIR
               : S_ISLNK(st.st_mode) ? DT_LNK
               : S_ISREG(st.st_mode) ? DT_REG
                                     : DT_UNKNOWN;
      }
      if (type == DT_DIR)
        level.subdirs.push_back(entry);
      else if (type == DT_REG || type == DT_LNK)
        files.push_back(entry);
    }
    std::sort(files.begin(), files.end());
    const std::string path = path_of(level.name, false), prefix = path_of(level.name, true);
    for (const std::string& f : files) add_member(::dirfd(dir), path, prefix, f, w);
    stack.push_back(std::move(level));
  };
  enter(fd, "");
  while (!stack.empty()) {
    Level& top = stack.back();
    if (top.next == top.subdirs.size()) {
      stack.pop_back();
      continue;
    }
    std::string name = top.subdirs[top.next++];
    if (stack.size() >= kMaxArchiveDepth)
      throw std::runtime_error("cannot archive " + portico::quoted(path_of(name, false)) + ": directories nest more than " +
                               std::to_string(kMaxArchiveDepth) + " levels deep");
    const int sub = ::openat(::dirfd(top.dir.get()), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub >= 0) enter(sub, std::move(name));
  }
}

std::string zip_failure(const std::string& ours, zip_error_t* theirs) {
  return ours.empty() ? std::string("cannot build ZIP archive: ") + zip_error_strerror(theirs) : ours;
}

std::string zip_members(const std::vector<ArchiveMember>& members, const std::optional<std::string>& root,
                        const OutputBound& bound) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
  if (!buffer) {
    std::string msg = zip_failure("", &error);
    zip_error_fini(&error);
    throw std::runtime_error(msg);
  }
  zip_t* za = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
  if (!za) {
    zip_source_free(buffer);
    std::string msg = zip_failure("", &error);
    zip_error_fini(&error);
    throw std::runtime_error(msg);
  }
  zip_error_fini(&error);
  // Keep the buffer past zip_close so the finished archive can be read back.
  zip_source_keep(buffer);
  std::unique_ptr<zip_source_t, void (*)(zip_source_t*)> buffer_ref(buffer, zip_source_free);

  std::string failure;
  bool over = false;
  auto abandon = [&](const std::string& msg) {
    zip_discard(za);
    if (over) bound.passed();
    throw std::runtime_error(msg);
  };
  for (const ArchiveMember& m : members) {
    auto* ctx = new MemberSource{&m, &root, &failure, buffer, bound.max_bytes, &over, -1, {}};
    zip_error_init(&ctx->error);
    zip_source_t* src = zip_source_function(za, &MemberSource::callback, ctx);
    if (!src) {
      zip_error_fini(&ctx->error);
      delete ctx;
      abandon(zip_failure("", zip_get_error(za)));
    }
    const bool utf8 = decode_utf8_strict(m.name).has_value();
    zip_int64_t idx = zip_file_add(za, m.name.c_str(), src, utf8 ? ZIP_FL_ENC_UTF_8 : ZIP_FL_ENC_GUESS);
    if (idx < 0) {
      zip_source_free(src);
      abandon(zip_failure("", zip_get_error(za)));
    }
    const auto i = static_cast<zip_uint64_t>(idx);
    const auto unix_mode = static_cast<zip_uint32_t>(S_IFREG | (m.mode & 07777));
    if (zip_set_file_compression(za, i, ZIP_CM_DEFLATE, kZlibDefaultLevel) != 0 ||
        zip_file_set_mtime(za, i, m.mtime, 0) != 0 ||
        zip_file_set_external_attributes(za, i, 0, ZIP_OPSYS_UNIX, unix_mode << 16) != 0)
      abandon(zip_failure("", zip_get_error(za)));
  }
  if (zip_close(za) != 0) abandon(zip_failure(failure, zip_get_error(za)));

  // Encode straight from libzip's buffer so the archive is never held twice.
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_source_stat(buffer, &st) != 0 || !(st.valid & ZIP_STAT_SIZE))
    throw std::runtime_error(zip_failure("", zip_source_error(buffer)));
  // The central directory comes last and may be what tips it over.
  if (st.size > bound.max_bytes) bound.passed();
  if (zip_source_open(buffer) != 0) throw std::runtime_error(zip_failure("", zip_source_error(buffer)));
  std::string out;
  out.reserve((st.size + 2) / 3 * 4);
  std::string chunk(3 * 65536, '\0');
  for (bool more = true; more;) {
    // Whole chunks are multiples of three bytes, so padding appears only at the end.
    size_t filled = 0;
    while (filled < chunk.size()) {
      zip_int64_t n = zip_source_read(buffer, chunk.data() + filled, chunk.size() - filled);
      if (n < 0) {
        std::string msg = zip_failure("", zip_source_error(buffer));
        zip_source_close(buffer);
        throw std::runtime_error(msg);
      }
      if (n == 0) {
        more = false;
        break;
      }
      filled += static_cast<size_t>(n);
    }
    base64_append(out, std::string_view(chunk.data(), filled));
  }
  zip_source_close(buffer);
  return out;
}

}  // namespace

std::string _archive_directory(const std::string& dir, const std::optional<std::string>& root,
                               const OutputBound& bound) {
  auto resolved = real_path(dir);
  struct stat st;
  if (!resolved || ::stat(resolved->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return "";
  // A directory that leads outside the run directory is as good as empty.
  if (root && !path_within(*resolved, *root)) return kEmptyZipBase64;

  Walk w{root, bound, {}};
  UniqueFd fd = open_fd(*resolved, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd && (!root || fd_within(fd.get(), *root))) walk(fd.release(), *resolved, w);
  // libzip writes nothing at all for an archive without members.
  if (w.members.empty()) return kEmptyZipBase64;
  return zip_members(w.members, root, bound);
}

}  // namespace portico
