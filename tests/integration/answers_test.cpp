// Large answers (above a megabyte) go out streamed: their length is counted
// first, then the JSON is written straight to the socket.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <cstdio>

#include "common/text.h"
#include "common/value.h"
#include "integration/harness.h"

namespace portico::test {
namespace {

// Every kind of character the serialiser escapes differently, and multi-byte text.
std::string awkward_text(size_t at_least) {
  const std::string piece = "plain \"quoted\" back\\slash\ttab \x01\x1f ctl caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 /\n";
  std::string out;
  while (out.size() < at_least) out += piece;
  return out;
}

class LargeAnswers : public ::testing::Test {
 protected:
  void SetUp() override {
    site.default_users();
    big_ = awkward_text(3 << 20);
    site.dir().write("big.txt", big_);
    site.alias_file("a.yaml", "big:\n  type: process\n  command: cat " + site.path("big.txt") +
                                  "\nsmall:\n  type: process\n  command: printf 'a\\tb'\n"
                                  "bundle:\n  type: process\n  command: |\n"
                                  "    mkdir -p {{ run_dir }}/out && head -c 2000000 /dev/urandom > {{ run_dir }}/out/r.bin\n"
                                  "  output:\n    single_value: {source: out/}\n");
    server = std::make_unique<Server>(site);
    ASSERT_TRUE(server->wait_ready()) << server->err();
    client = server->client();
  }

  httplib::Result run(const std::string& alias) {
    return client->Post(("/v1/run/" + alias).c_str(), {{"Authorization", basic_auth("alice", "wonderland")}}, "",
                        "application/json");
  }

  Site site;
  std::string big_;
  std::unique_ptr<Server> server;
  std::unique_ptr<httplib::Client> client;
};

TEST_F(LargeAnswers, LargeAnswerArrivesWholeWithItsExactLength) {
  auto r = run("big");
  ASSERT_TRUE(r) << httplib::to_string(r.error());
  ASSERT_EQ(r->status, 200);
  EXPECT_EQ(r->get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(r->get_header_value("Content-Length"), std::to_string(r->body.size()));
  EXPECT_FALSE(r->has_header("Transfer-Encoding"));
  EXPECT_EQ(r->get_header_value("X-Correlation-ID").size(), 36u);
  const Value v = Value::parse(r->body);
  EXPECT_EQ(v["stdout"], big_);
  EXPECT_TRUE(r->body.find("\\u0001\\u001f") != std::string::npos);  // control characters escaped
  // The connection stays usable for the next request.
  r = run("small");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, R"({"success":true,"returncode":0,"pid":)" + std::to_string(Value::parse(r->body)["pid"].get<int>()) +
                         R"(,"stdout":"a\tb","stderr":"","file_outputs":{}})");
}

TEST_F(LargeAnswers, LargeArchiveDecodesToTheFile) {
  auto r = run("bundle");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 200) << r->body.substr(0, 300);
  const Value v = Value::parse(r->body);
  const auto zip = base64_decode(v["file_outputs"]["out/"].get<std::string>());
  ASSERT_TRUE(zip.has_value());
  EXPECT_GT(zip->size(), 2000000u);  // random bytes do not compress
  EXPECT_EQ(zip->compare(0, 4, "PK\x03\x04"), 0);
}

TEST_F(LargeAnswers, ClientLeavingMidAnswerLeavesTheServerServing) {
  for (int i = 0; i < 3; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(site.port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string req = "POST /v1/run/big HTTP/1.1\r\nHost: x\r\nAuthorization: " +
                            basic_auth("alice", "wonderland") + "\r\nContent-Length: 0\r\n\r\n";
    ASSERT_EQ(::write(fd, req.data(), req.size()), static_cast<ssize_t>(req.size()));
    char buf[4096];
    ASSERT_GT(::read(fd, buf, sizeof buf), 0);
    ::close(fd);
  }
  auto r = run("big");
  ASSERT_TRUE(r) << httplib::to_string(r.error());
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(Value::parse(r->body)["stdout"], big_);
  EXPECT_TRUE(::kill(server->pid(), 0) == 0);
}

}  // namespace
}  // namespace portico::test
