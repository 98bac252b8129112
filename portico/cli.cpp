#include "portico/cli.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>

#include "portico_version.h"

namespace portico::app {

const char* const DEFAULT_CONFIG = "/etc/portico/portico.conf";

std::optional<std::string> _package_version(const std::string& exe, const std::string& dpkg_dir) {
  auto read = [](const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  for (const std::string name : {"portico", "portico-pure", "portico-dbg"}) {
    // Only the program the package put there: a build tree's binary keeps its own stamp.
    if (("\n" + read(dpkg_dir + "/info/" + name + ".list")).find("\n" + exe + "\n") == std::string::npos) continue;
    std::istringstream in(read(dpkg_dir + "/status"));
    std::string line, package, state, version;
    auto stanza_matches = [&] { return package == name && state.ends_with(" installed") && !version.empty(); };
    while (std::getline(in, line)) {
      if (line.empty()) {
        if (stanza_matches()) return version;
        package.clear(), state.clear(), version.clear();
      } else if (line.starts_with("Package: ")) {
        package = line.substr(9);
      } else if (line.starts_with("Status: ")) {
        state = line.substr(8);
      } else if (line.starts_with("Version: ")) {
        version = line.substr(9);
      }
    }
    if (stanza_matches()) return version;
  }
  return std::nullopt;
}

const std::string& version() {
  static const std::string v = [] {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec)
      if (auto packaged = _package_version(exe.string(), "/var/lib/dpkg")) return *packaged;
    return std::string(PORTICO_VERSION_STAMP[0] ? PORTICO_VERSION_STAMP : "unknown");
  }();
  return v;
}

const std::vector<CliToKey> CLI_TO_KEY = {
    {"pid-file", "PidFile", "PATH", "Override PidFile from configuration"},
    {"auth-dir", "AuthDir", "DIR", "Override AuthDir from configuration"},
    {"alias-dir", "AliasDir", "DIR", "Override AliasDir from configuration"},
    {"shared-dir", "SharedDir", "DIR", "Override SharedDir from configuration"},
    {"external-dir", "ExternalDir", "DIR", "Override ExternalDir from configuration"},
    {"listen-address", "ListenAddress", "ADDR", "Override ListenAddress from configuration"},
    {"listen-port", "ListenPort", "PORT", "Override ListenPort from configuration"},
    {"ssl-enabled", "SslEnabled", "true|false|1|0", "Override SslEnabled from configuration"},
    {"ssl-cert", "SslCert", "PATH", "Override SslCert from configuration"},
    {"ssl-key", "SslKey", "PATH", "Override SslKey from configuration"},
    {"log-level", "LogLevel", "LEVEL", "Override LogLevel from configuration"},
    {"log-dir", "LogDir", "DIR", "Override LogDir from configuration"},
    {"audit-log", "AuditLog", "PATH", "Override AuditLog from configuration"},
    {"app-log", "AppLog", "SPEC", "Override AppLog from configuration (path [level] [format])"},
    {"logs-api-key", "LogsApiKey", "KEY", "Override LogsApiKey from configuration"},
    {"health-api-key", "HealthApiKey", "KEY", "Override HealthApiKey from configuration"},
    {"auth-reload", "AuthReload", "SECONDS", "Override AuthReload from configuration"},
    {"alias-reload", "AliasReload", "SECONDS", "Override AliasReload from configuration"},
    {"container", "Container", "0|1", "Override Container auto-detection from configuration"},
    {"max-timeout", "MaxTimeout", "SECONDS", "Override MaxTimeout from configuration"},
    {"refresh-image", "RefreshImage", "always|on-start|no", "Override RefreshImage from configuration"},
    {"prefetch-image", "PrefetchImage", "on-start|on-config-change|no",
     "Override PrefetchImage from configuration"},
};

namespace {

constexpr int kVersion = 1000, kConfig = 1001, kDaemon = 1002, kFirstOverride = 1100;

std::string usage_line() {
  std::string u = "usage: portico [-h] [--version] [--config CONFIG] [--daemon]";
  for (const auto& o : CLI_TO_KEY) u += std::string(" [--") + o.option + " " + o.placeholder + "]";
  return u;
}

// Wraps the usage line like a terminal-friendly help page does.
std::string wrapped_usage() {
  const std::string u = usage_line();
  std::string out, line;
  const std::string indent(15, ' ');
  size_t pos = 0;
  while (pos < u.size()) {
    size_t next = u.find(" [", pos + 1);
    std::string piece = u.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
    if (!line.empty() && line.size() + piece.size() > 79) {
      out += line + "\n";
      line = indent + piece.substr(1);
    } else {
      line += piece;
    }
    if (next == std::string::npos) break;
    pos = next;
  }
  return out + line + "\n";
}

void print_option(std::FILE* out, const std::string& invocation, const std::string& help) {
  if (invocation.size() + 2 <= 22) std::fprintf(out, "  %-22s%s\n", invocation.c_str(), help.c_str());
  else std::fprintf(out, "  %s\n  %-22s%s\n", invocation.c_str(), "", help.c_str());
}

void print_help(std::FILE* out) {
  std::fputs(wrapped_usage().c_str(), out);
  std::fputs("\nPortico - Secure Execution Gateway\n\noptions:\n", out);
  print_option(out, "-h, --help", "show this help message and exit");
  print_option(out, "--version", "show program's version number and exit");
  print_option(out, "--config CONFIG", std::string("Configuration file path (default: ") + DEFAULT_CONFIG + ")");
  print_option(out, "--daemon", "Detach from the terminal and run as a background daemon");
  for (const auto& o : CLI_TO_KEY)
    print_option(out, std::string("--") + o.option + " " + o.placeholder, o.help);
}

ParseOutcome usage_error(std::FILE* err, const std::string& message) {
  std::fputs(wrapped_usage().c_str(), err);
  std::fprintf(err, "portico: error: %s\n", message.c_str());
  return {2, {}};
}

}  // namespace

ParseOutcome parse_args(int argc, char** argv, std::FILE* out, std::FILE* err) {
  std::vector<option> longopts;
  longopts.push_back({"help", no_argument, nullptr, 'h'});
  longopts.push_back({"version", no_argument, nullptr, kVersion});
  longopts.push_back({"config", required_argument, nullptr, kConfig});
  longopts.push_back({"daemon", no_argument, nullptr, kDaemon});
  for (size_t i = 0; i < CLI_TO_KEY.size(); ++i)
    longopts.push_back({CLI_TO_KEY[i].option, required_argument, nullptr, kFirstOverride + static_cast<int>(i)});
  longopts.push_back({nullptr, 0, nullptr, 0});

  ParseOutcome result;
  std::map<std::string, std::string> latest;
  opterr = 0;
  optind = 1;
  for (;;) {
    int index = -1;
    // "+": stop at the first non-option so it is reported as a positional argument.
    const int c = getopt_long(argc, argv, "+:h", longopts.data(), &index);
    if (c == -1) break;
    if (c == 'h') {
      print_help(out);
      return {0, {}};
    }
    if (c == kVersion) {
      std::fprintf(out, "Portico %s\n", version().c_str());
      return {0, {}};
    }
    if (c == kConfig) {
      result.args.config = optarg;
    } else if (c == kDaemon) {
      result.args.daemon = true;
    } else if (c >= kFirstOverride && c < kFirstOverride + static_cast<int>(CLI_TO_KEY.size())) {
      latest[CLI_TO_KEY[c - kFirstOverride].option] = optarg;
    } else {
      const char* arg = argv[optind - 1];
      if (c == ':') return usage_error(err, std::string("argument ") + arg + ": expected one argument");
      if (arg && std::strncmp(arg, "--", 2) == 0) {
        std::string name(arg);
        name = name.substr(0, name.find('='));
        // getopt_long cannot tell ambiguity from an unknown name; find out which.
        int matches = 0;
        for (const auto& o : longopts)
          if (o.name && std::strncmp(o.name, name.c_str() + 2, name.size() - 2) == 0) ++matches;
        if (matches > 1) return usage_error(err, "ambiguous option: " + name);
        if (matches == 1 && std::strchr(arg, '='))
          return usage_error(err, "argument " + name + ": ignored explicit argument");
        return usage_error(err, "unrecognized arguments: " + std::string(arg));
      }
      return usage_error(err, "unrecognized arguments: " + std::string(arg ? arg : "?"));
    }
  }
  if (optind < argc) {
    std::string rest;
    for (int i = optind; i < argc; ++i) rest += (rest.empty() ? "" : " ") + std::string(argv[i]);
    return usage_error(err, "unrecognized arguments: " + rest);
  }
  for (const auto& o : CLI_TO_KEY) {
    auto it = latest.find(o.option);
    if (it != latest.end()) result.args.values.emplace_back(o.option, it->second);
  }
  return result;
}

std::optional<Overrides> build_overrides(const Args& args) {
  Overrides o;
  for (const auto& entry : CLI_TO_KEY)
    for (const auto& [field, value] : args.values)
      if (field == entry.option) o.emplace_back(entry.key, value);
  if (o.empty()) return std::nullopt;
  return o;
}

std::optional<std::string> _missing_config_warning(const std::string& config_path, bool is_default) {
  struct stat st;
  if (is_default && ::lstat(config_path.c_str(), &st) != 0)
    return "Config file not found: " + config_path + ". Starting with default settings.";
  return std::nullopt;
}

}  // namespace portico::app
