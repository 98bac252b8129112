#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include "integration/harness.h"

namespace portico::test {
namespace {

using namespace std::chrono_literals;

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
  site.set("RequestHeaderTimeout", "1");
  Server server(site);
  // wait_ready speaks plain HTTP, so wait on the log line instead.
  for (int i = 0; i < 300 && !contains(site.app_log(), "Listening on https://"); ++i) usleep(20000);
  RawConnection silent(site.port());  // a client that never starts its handshake
  // Two requests over one kept-alive TLS connection.
  const std::string out = site.path("curl.out");
  const std::string url = "https://127.0.0.1:" + std::to_string(site.port());
  const std::string ca = " --cacert " + site.path("good.crt");
  const std::string cmd = "curl -s -v" + ca + " " + url + "/health --next -s" + ca + " -u alice:wonderland -d '' " +
                          url + "/v1/run/hello > " + out + " 2>" + out + ".err";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_TRUE(contains(slurp(out), "{\"status\":\"ok\"}{\"success\":true")) << slurp(out);
  EXPECT_TRUE(contains(slurp(out + ".err"), "Re-using existing connection")) << slurp(out + ".err");
  EXPECT_EQ(silent.read_until_closed(3s), "") << "an unfinished handshake is closed at the header deadline";
  EXPECT_TRUE(silent.closed_by_server());
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
