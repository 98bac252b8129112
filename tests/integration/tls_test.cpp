#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include "integration/harness.h"

namespace portico::test {
namespace {

bool contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

// Makes a self-signed certificate for 127.0.0.1 with the openssl tool, as an operator would.
bool make_cert(const Site& site, const std::string& name, int days) {
  const std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=portico"
                          " -addext subjectAltName=IP:127.0.0.1 -days " + std::to_string(days) +
                          " -keyout " + site.path(name + ".key") + " -out " + site.path(name + ".crt") +
                          " 2>/dev/null";
  return std::system(cmd.c_str()) == 0;
}

void minimal_site(Site& site) {
  site.default_users();
  site.alias_file("a.yaml", "hello:\n  type: process\n  command: echo hello\n");
}

TEST(Tls, ServesHttpsThatCurlAcceptsWithTheCaFile) {
  Site site;
  minimal_site(site);
  ASSERT_TRUE(make_cert(site, "good", 30));
  site.set("SslEnabled", "true");
  site.set("SslCert", site.path("good.crt"));
  site.set("SslKey", site.path("good.key"));
  Server server(site);
  // wait_ready speaks plain HTTP, so wait on the log line instead.
  for (int i = 0; i < 300 && !contains(site.app_log(), "Listening on https://"); ++i) usleep(20000);
  const std::string out = site.path("curl.out");
  const std::string cmd = "curl -s --cacert " + site.path("good.crt") + " -u alice:wonderland -d '' https://127.0.0.1:" +
                          std::to_string(site.port()) + "/v1/run/hello > " + out;
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_TRUE(contains(slurp(out), "\"stdout\":\"hello\\n\"")) << slurp(out);
}

TEST(Tls, RefusesAnExpiredCertificateBeforeServing) {
  Site site;
  minimal_site(site);
  ASSERT_TRUE(make_cert(site, "old", 30));
  // Re-sign with an end of validity in the past.
  const std::string cmd = "openssl x509 -in " + site.path("old.crt") + " -signkey " + site.path("old.key") +
                          " -days -1 -out " + site.path("expired.crt") + " 2>/dev/null";
  if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "openssl cannot make an expired certificate here";
  site.set("SslEnabled", "1");
  site.set("SslCert", site.path("expired.crt"));
  site.set("SslKey", site.path("old.key"));
  site.write_conf();
  const Exit e = run_portico({"--config", site.conf_path()});
  EXPECT_EQ(e.status, 1);
  EXPECT_TRUE(contains(e.err, "ERROR: SSL certificate " + site.path("expired.crt") + " has expired (expiry: ")) << e.err;
}

TEST(Tls, MissingCertificateSettingIsRefused) {
  Site site;
  minimal_site(site);
  site.write_conf();
  const Exit e = run_portico({"--config", site.conf_path(), "--ssl-enabled", "true"});
  EXPECT_EQ(e.status, 1);
  EXPECT_TRUE(contains(e.err, "ERROR: SslEnabled is true but SslCert")) << e.err;
}

}  // namespace
}  // namespace portico::test
