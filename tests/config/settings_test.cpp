#include <gtest/gtest.h>

#include <array>
#include <utility>
#include <vector>

#include "config/config.h"
#include "config/internal.h"
#include "support/support.h"

namespace portico {
namespace {

using test::TempDir;

class SettingsTest : public ::testing::Test {
 protected:
  // Loads `text` as the configuration file; returns the problems (empty when loaded).
  Errors load_text(const std::string& text, const std::optional<Overrides>& overrides = std::nullopt) {
    path = dir.write("portico.conf", text);
    return load_path(path, overrides);
  }
  Errors load_path(const std::string& p, const std::optional<Overrides>& overrides = std::nullopt) {
    try {
      store.load(p, overrides);
    } catch (const ConfigError& e) {
      return e.errors;
    }
    return {};
  }
  Errors load_override(const std::string& key, const std::string& value) {
    return load_path(dir / "missing.conf", Overrides{{key, value}});
  }

  TempDir dir;
  std::string path;
  FileConfigStore store;
};

TEST_F(SettingsTest, MissingFileMeansBuiltInDefaults) {
  ASSERT_EQ(load_path(dir / "missing.conf"), Errors{});
  const Value expected = Value::parse(R"({
    "PidFile": "/run/portico.pid", "AuthDir": "/etc/portico/auth", "AliasDir": "/etc/portico/aliases",
    "SharedDir": "/tmp/portico", "ExternalDir": "", "ListenAddress": "127.0.0.1", "ListenPort": 8080,
    "SslEnabled": false, "SslCert": null, "SslKey": null, "LogLevel": "info", "LogDir": "/var/log/portico",
    "AuditLog": "audit.log", "AppLog": "app.log", "LogsApiKey": null, "HealthApiKey": null,
    "AuthReload": 30, "AliasReload": 30, "Container": null, "MaxTimeout": 0, "RefreshImage": "no",
    "PrefetchImage": "no", "MaxConcurrentRuns": 64, "MaxRequestBytes": 1048576,
    "MaxOutputBytes": 67108864,
    "MaxQueuedRuns": null, "MaxHeaderBytes": 16384, "MaxConnections": 4096, "RequestHeaderTimeout": 10,
    "RequestTimeout": 30, "KeepAliveTimeout": 5, "AuthFailureLimit": 10,
    "JobDatabase": "jobs.sqlite3", "JobRetentionDays": 30, "JobOutputBytes": 1048576})");
  EXPECT_EQ(config_internal::setting_values(Settings()), expected);
  for (const auto& [key, value] : expected.items()) EXPECT_EQ(store.get(key), value) << key;
  EXPECT_EQ(store.get("NoSuchKey"), Value());
}

// get() answers from the typed snapshot: a key wired to the wrong field, or a
// default changed on one side only, shows here.
TEST_F(SettingsTest, TypedDefaultsAreWhatGetReportsForAnEmptyFile) {
  ASSERT_EQ(load_text(""), Errors{});
  EXPECT_TRUE(*store.settings() == Settings());
  const Settings d;
  const auto opt = [](const auto& o) { return o ? Value(*o) : Value(); };
  const std::vector<std::pair<std::string, Value>> fields = {
      {"PidFile", d.pid_file}, {"AuthDir", d.auth_dir}, {"AliasDir", d.alias_dir}, {"SharedDir", d.shared_dir},
      {"ExternalDir", d.external_dir}, {"ListenAddress", d.listen_address}, {"ListenPort", d.listen_port},
      {"SslEnabled", d.ssl_enabled}, {"SslCert", opt(d.ssl_cert)}, {"SslKey", opt(d.ssl_key)},
      {"LogLevel", d.log_level}, {"LogDir", d.log_dir}, {"AuditLog", d.audit_log}, {"AppLog", d.app_log},
      {"LogsApiKey", opt(d.logs_api_key)}, {"HealthApiKey", opt(d.health_api_key)},
      {"AuthReload", d.auth_reload.value()}, {"AliasReload", d.alias_reload.value()},
      {"Container", opt(d.container)}, {"MaxTimeout", d.max_timeout.value()}, {"RefreshImage", d.refresh_image},
      {"PrefetchImage", d.prefetch_image}, {"MaxConcurrentRuns", d.max_concurrent_runs},
      {"MaxRequestBytes", d.max_request_bytes}, {"MaxOutputBytes", d.max_output_bytes},
      {"MaxQueuedRuns", opt(d.max_queued_runs)}, {"MaxHeaderBytes", d.max_header_bytes},
      {"MaxConnections", d.max_connections}, {"RequestHeaderTimeout", d.request_header_timeout.value()},
      {"RequestTimeout", d.request_timeout.value()}, {"KeepAliveTimeout", d.keepalive_timeout.value()},
      {"AuthFailureLimit", d.auth_failure_limit}, {"JobDatabase", d.job_database},
      {"JobRetentionDays", d.job_retention_days}, {"JobOutputBytes", d.job_output_bytes},
  };
  EXPECT_EQ(fields.size(), config_internal::setting_values(Settings()).size());
  for (const auto& [key, value] : fields) {
    EXPECT_EQ(store.get(key), value) << key;
    EXPECT_EQ(store.get(key).is_number_float(), value.is_number_float()) << key;
  }
}

TEST_F(SettingsTest, FileSyntax) {
  ASSERT_EQ(load_text("# comment\n"
                      "\n"
                      "   # indented comment\n"
                      "listenport 9090\n"
                      "LOGDIR\t  /srv/logs  \r\n"
                      "HealthApiKey abc#def # not a comment\n"
                      "LogsApiKey \"\"\n"
                      "ExternalDir \"  spaced  \"\n"
                      "AuditLog \"quoted\"inside\"\n"
                      "  PidFile /run/p.pid"),
            Errors{});
  EXPECT_EQ(store.get("ListenPort"), 9090);
  EXPECT_EQ(store.get("LogDir"), "/srv/logs");
  EXPECT_EQ(store.get("HealthApiKey"), "abc#def # not a comment");
  EXPECT_EQ(store.get("LogsApiKey"), Value());
  EXPECT_EQ(store.get("ExternalDir"), "  spaced  ");
  EXPECT_EQ(store.get("AuditLog"), "quoted\"inside");
  EXPECT_EQ(store.get("PidFile"), "/run/p.pid");
  EXPECT_EQ(store.get("listenPORT"), 9090);
}

TEST_F(SettingsTest, EveryKeyConverts) {
  // key, text as typed, expected value as JSON (the type matters: 2.5 vs 100.0 vs 300)
  const std::vector<std::array<std::string, 3>> cases = {
      {"PidFile", "/x/p.pid", "\"/x/p.pid\""}, {"ExternalDir", "", "\"\""}, {"ListenAddress", "::", "\"::\""},
      {"ListenPort", "1", "1"}, {"ListenPort", "65535", "65535"}, {"SslEnabled", "TRUE", "true"},
      {"SslEnabled", "yes", "true"}, {"SslEnabled", "On", "true"}, {"SslEnabled", "1", "true"},
      {"SslEnabled", "no", "false"}, {"SslEnabled", "OFF", "false"}, {"SslEnabled", "0", "false"},
      {"SslCert", "/c.pem", "\"/c.pem\""}, {"LogLevel", "DEBUG", "\"debug\""}, {"LogLevel", "Warn", "\"warning\""},
      {"AppLog", "-", "\"-\""}, {"AppLog", "a.log json WARN", "\"a.log json WARN\""},
      {"LogsApiKey", "k", "\"k\""}, {"LogsApiKey", "", "null"}, {"HealthApiKey", "", "null"},
      {"AuthReload", "0", "0"}, {"AliasReload", "120", "120"}, {"AliasReload", "2.5", "2.5"},
      {"AuthReload", "off", "0"}, {"AuthReload", "False", "0"}, {"Container", "AUTO", "null"},
      {"Container", "True", "true"}, {"Container", "0", "false"}, {"Container", "yes", "false"},
      {"Container", "on", "false"}, {"Container", "", "false"}, {"MaxTimeout", "300", "300"},
      {"MaxTimeout", "2.5", "2.5"}, {"MaxTimeout", ".5", "0.5"}, {"MaxTimeout", "1e2", "100.0"},
      {"RefreshImage", "Always", "\"always\""}, {"RefreshImage", "NONE", "\"no\""}, {"RefreshImage", "0", "\"no\""},
      {"PrefetchImage", "on-config-change", "\"on-config-change\""}, {"PrefetchImage", "off", "\"no\""},
      {"RefreshImage", "", "\"no\""}, {"RefreshImage", "Sometimes", "\"sometimes\""},
      {"PrefetchImage", "always", "\"always\""}, {"SharedDir", "", "\"/tmp/portico\""},
      {"LogDir", "", "\"/var/log/portico\""},
      {"MaxConcurrentRuns", "4096", "4096"}, {"MaxRequestBytes", "1024", "1024"},
      {"MaxOutputBytes", "1099511627776", "1099511627776"},
      {"MaxQueuedRuns", "0", "0"}, {"MaxHeaderBytes", "1048576", "1048576"}, {"MaxConnections", "1", "1"},
      {"RequestHeaderTimeout", "2.5", "2.5"}, {"RequestTimeout", "86400", "86400"},
      {"KeepAliveTimeout", "0", "0"}, {"KeepAliveTimeout", "0.25", "0.25"}, {"AuthFailureLimit", "0", "0"},
  };
  for (const auto& [key, text, json] : cases) {
    ASSERT_EQ(load_override(key, text), Errors{}) << key << " " << text;
    const Value got = store.get(key), expected = Value::parse(json);
    EXPECT_EQ(got, expected) << key << " " << text;
    EXPECT_EQ(got.is_number_float(), expected.is_number_float()) << key << " " << text;
  }
}

TEST_F(SettingsTest, BadValuesAreRefused) {
  const std::vector<std::array<std::string, 3>> cases = {
      {"AuditLog", "", "must not be empty"},
      {"SslCert", "", "must not be empty"},
      {"ListenPort", "http", "'http' is not a port number (1-65535)"},
      {"ListenPort", "0", "'0' is not a port number (1-65535)"},
      {"ListenPort", "+80", "'+80' is not a port number (1-65535)"},
      {"ListenPort", "99999999999999999999", "'99999999999999999999' is not a port number (1-65535)"},
      {"SslEnabled", "maybe", "'maybe' is not a boolean (true/false, yes/no, on/off, 1/0)"},
      {"AppLog", "  ", "must not be empty"},
      {"AppLog", "a info json x", "'a info json x' is not \"path [level] [format]\""},
      {"AppLog", "a loud", "'loud' is neither a log level (debug, info, warning, error, critical) nor a format (text, json)"},
      {"AppLog", "a info debug", "'a info debug' names more than one level"},
      {"AliasReload", "-1", "'-1' is not a non-negative number of seconds (0 or off turns it off)"},
      {"AuthReload", "true", "'true' is not a non-negative number of seconds (0 or off turns it off)"},
      {"AuthReload", "5s", "'5s' is not a non-negative number of seconds (0 or off turns it off)"},
      {"MaxTimeout", "-1", "'-1' is not a non-negative number of seconds"},
      {"MaxTimeout", "nan", "'nan' is not a non-negative number of seconds"},
      {"MaxTimeout", "1e999", "'1e999' is not a non-negative number of seconds"},
      {"MaxTimeout", "0x10", "'0x10' is not a non-negative number of seconds"},
      {"MaxConcurrentRuns", "4097", "'4097' is not a whole number from 1 to 4096"},
      {"MaxRequestBytes", "1023", "'1023' is not a whole number from 1024 to 1073741824"},
      {"MaxOutputBytes", "64M", "'64M' is not a whole number from 1024 to 1099511627776"},
      {"MaxHeaderBytes", "1023", "'1023' is not a whole number from 1024 to 1048576"},
      {"MaxConnections", "0", "'0' is not a whole number from 1 to 1000000"},
      {"RequestHeaderTimeout", "0", "'0' is not a number of seconds from 0.001 to 3600"},
      {"RequestTimeout", "-1", "'-1' is not a number of seconds from 0.001 to 86400"},
      {"KeepAliveTimeout", "1e9", "'1e9' is not a number of seconds from 0 to 3600"},
      {"AuthFailureLimit", "ten", "'ten' is not a whole number from 0 to 10000 (0 turns it off)"},
  };
  for (const auto& [key, text, problem] : cases)
    EXPECT_EQ(load_override(key, text), Errors{"command line: " + key + ": " + problem}) << key << " " << text;
}

TEST_F(SettingsTest, EveryProblemIsReportedInFileThenOverrideOrder) {
  const Errors errors = load_text(
      "ListenPort 8081\n"
      "Foo bar\n"
      "LogLevel loud\n"
      "# fine\n"
      "listenport 8082\n"
      "LogsApiKey \"unterminated\n"
      "MaxConcurrentRuns many\n",
      Overrides{{"MaxTimeout", "-3"}, {"Bogus", "1"}, {"AuditLog", ""}});
  EXPECT_EQ(errors, (Errors{
                        path + ":2: unknown key 'Foo'",
                        path + ":3: LogLevel: 'loud' is not a log level (debug, info, warning, error, critical)",
                        path + ":5: ListenPort: already given on line 1",
                        path + ":6: LogsApiKey: the value starts with a double quote but does not end with one",
                        path + ":7: MaxConcurrentRuns: 'many' is not a whole number from 1 to 4096",
                        "command line: MaxTimeout: '-3' is not a non-negative number of seconds",
                        "command line: unknown key 'Bogus'",
                        "command line: AuditLog: must not be empty",
                    }));
}

// Values the gateway gives a meaning to are loaded, but one that does what its
// author may not expect is named in a warning with its file and line.
TEST_F(SettingsTest, SurprisingValuesLoadWithAWarning) {
  ASSERT_EQ(load_text("Container yes\n"
                      "SharedDir \"\"\n"
                      "RefreshImage sometimes\n"
                      "AliasReload 2.5\n"
                      "PrefetchImage on-start\n",
                      Overrides{{"PrefetchImage", "always"}, {"LogDir", ""}, {"Container", "ON"}}),
            Errors{});
  EXPECT_EQ(store.load_warnings(),
            (std::vector<std::string>{
                path + ":1: Container: 'yes' means not in a container: only 1 and true (in any letter case) mean a "
                       "container, auto detects",
                path + ":2: SharedDir: is empty, so the default '/tmp/portico' is used",
                path + ":3: RefreshImage: 'sometimes' is not one of always, on-start, no: aliases without their own "
                       "refreshImage refresh nothing",
                "command line: PrefetchImage: 'always' is not one of on-start, on-config-change, no: aliases without "
                "their own prefetchImage prefetch nothing",
                "command line: LogDir: is empty, so the default '/var/log/portico' is used",
                "command line: Container: 'ON' means not in a container: only 1 and true (in any letter case) mean a "
                "container, auto detects",
            }));
  EXPECT_EQ(store.get("AliasReload"), 2.5);
  ASSERT_EQ(load_text("Container auto\nRefreshImage ALWAYS\n"), Errors{});
  EXPECT_EQ(store.load_warnings(), std::vector<std::string>{});
}

TEST_F(SettingsTest, OverridesWinOverTheFile) {
  ASSERT_EQ(load_text("ListenPort 8081\nExternalDir /from/file\nLogLevel debug\n",
                      Overrides{{"listen-port-ignored-key-case", "x"}}),
            Errors{"command line: unknown key 'listen-port-ignored-key-case'"});
  ASSERT_EQ(load_text("ListenPort 8081\nExternalDir /from/file\nLogLevel debug\n",
                      Overrides{{"ListenPort", "9000"}, {"externaldir", ""}, {"ListenPort", "9001"}}),
            Errors{});
  EXPECT_EQ(store.get("ListenPort"), 9001);
  EXPECT_EQ(store.get("ExternalDir"), "");
  EXPECT_EQ(store.get("LogLevel"), "debug");
}

TEST_F(SettingsTest, AFailedLoadKeepsThePreviousSettings) {
  ASSERT_EQ(load_text("ListenPort 7000\n"), Errors{});
  EXPECT_FALSE(load_text("ListenPort 7001\nLogLevel nope\n").empty());
  EXPECT_EQ(store.get("ListenPort"), 7000);
  // Keys absent from a later file fall back to their defaults, not to the earlier file.
  ASSERT_EQ(load_text("LogLevel error\n"), Errors{});
  EXPECT_EQ(store.get("ListenPort"), 8080);
}

TEST_F(SettingsTest, AnUnreadableFileIsOneError) {
  EXPECT_EQ(load_path(dir.str()), Errors{dir.str() + ": Is a directory"});
}

}  // namespace
}  // namespace portico
