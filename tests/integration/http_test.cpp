#include <gtest/gtest.h>
#include <jwt.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <httplib.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

#include "common/value.h"
#include "integration/harness.h"

namespace portico::test {
namespace {

bool contains(const std::string& hay, const std::string& needle) { return hay.find(needle) != std::string::npos; }

struct KeyPair {
  std::string private_pem, public_pem;
};

KeyPair make_key(bool ec) {
  EVP_PKEY* key = ec ? EVP_EC_gen("P-256") : EVP_RSA_gen(2048);
  KeyPair kp;
  BIO* b = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data;
  long n = BIO_get_mem_data(b, &data);
  kp.private_pem.assign(data, static_cast<size_t>(n));
  BIO_free(b);
  b = BIO_new(BIO_s_mem());
  PEM_write_bio_PUBKEY(b, key);
  n = BIO_get_mem_data(b, &data);
  kp.public_pem.assign(data, static_cast<size_t>(n));
  BIO_free(b);
  EVP_PKEY_free(key);
  return kp;
}

std::string sign(jwt_alg_t alg, const std::string& key, const Value& claims) {
  jwt_t* jwt = nullptr;
  jwt_new(&jwt);
  jwt_add_grants_json(jwt, claims.dump().c_str());
  if (key.empty()) jwt_set_alg(jwt, alg, nullptr, 0);
  else jwt_set_alg(jwt, alg, reinterpret_cast<const unsigned char*>(key.data()), static_cast<int>(key.size()));
  char* out = jwt_encode_str(jwt);
  std::string token = out ? out : "";
  free(out);
  jwt_free(jwt);
  return token;
}

class Http : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rsa_ = new KeyPair(make_key(false));
    ec_ = new KeyPair(make_key(true));
  }
  static void TearDownTestSuite() {
    delete rsa_;
    delete ec_;
  }

  void SetUp() override {
    site.default_users();
    site.auth_file("keys/rsa.pem", rsa_->public_pem);
    site.auth_file("keys/ec.pem", ec_->public_pem);
    site.auth_file("jwt.yaml",
                   "jwt:\n"
                   "  - name: rsa\n    public_key_file: keys/rsa.pem\n    algorithms: [RS256]\n"
                   "    issuer: https://ci.example\n    audience: portico\n"
                   "  - name: ec\n    public_key_file: keys/ec.pem\n    algorithms: [ES256]\n");
    site.alias_file("10-basic.yaml",
                    "hello:\n  type: process\n  description: Says hello\n  command: echo hello\n"
                    "greet:\n  type: process\n  command: printf '%s' {{ name | shell }}\n"
                    "  parameters:\n    name: {type: string, required: true, max_length: 64}\n"
                    "    times: {type: integer, min: 1, max: 3, default: 1}\n"
                    "    mood: {type: string, choices: [glad, calm], pattern: '[a-z]+', description: How it sounds}\n"
                    "fail:\n  type: process\n  command: echo oops >&2; exit 3\n"
                    "slow:\n  type: process\n  command: sleep 5\n  timeout: 1\n");
    site.set("MaxRequestBytes", "4096");
    site.set("HealthApiKey", "health-secret");
    server = std::make_unique<Server>(site);
    ASSERT_TRUE(server->wait_ready()) << server->err();
    client = server->client();
  }

  httplib::Result run(const std::string& alias, const std::string& body, const std::string& auth) {
    httplib::Headers h{{"Authorization", auth}};
    return client->Post(("/v1/run/" + alias).c_str(), h, body, "application/json");
  }

  Value claims(long exp_offset = 300) {
    return Value{{"sub", "ci-bot"}, {"iss", "https://ci.example"}, {"aud", "portico"},
                 {"exp", static_cast<long>(std::time(nullptr)) + exp_offset}, {"aliases", {"hello"}}};
  }

  static KeyPair* rsa_;
  static KeyPair* ec_;
  Site site;
  std::unique_ptr<Server> server;
  std::unique_ptr<httplib::Client> client;
};
KeyPair* Http::rsa_ = nullptr;
KeyPair* Http::ec_ = nullptr;

TEST_F(Http, RunsAnAliasWithBasicAuth) {
  auto r = run("hello", "", basic_auth("alice", "wonderland"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200) << r->body;
  const Value v = Value::parse(r->body);
  EXPECT_EQ(v["success"], true);
  EXPECT_EQ(v["stdout"], "hello\n");
  std::vector<std::string> keys;
  for (auto it = v.begin(); it != v.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"success", "returncode", "pid", "stdout", "stderr", "file_outputs"}));
  EXPECT_EQ(r->get_header_value("X-Correlation-ID").size(), 36u);
}

TEST_F(Http, HostileParametersReachTheCommandUnchanged) {
  const std::string hostile = "$(touch /tmp/pwned) `id`; echo 'x' \"y\" *";
  auto r = run("greet", Value{{"name", hostile}}.dump(), basic_auth("alice", "wonderland"));
  ASSERT_TRUE(r);
  EXPECT_EQ(Value::parse(r->body)["stdout"], hostile);
}

TEST_F(Http, OutcomesMapToStatusCodes) {
  const std::string alice = basic_auth("alice", "wonderland");
  auto r = run("fail", "", alice);
  EXPECT_EQ(r->status, 200);  // a non-zero exit is still a completed run
  EXPECT_EQ(Value::parse(r->body)["returncode"], 3);
  r = run("greet", "{}", alice);
  EXPECT_EQ(r->status, 400);
  EXPECT_EQ(Value::parse(r->body)["errors"][0], "name is required");
  r = run("nosuch", "", alice);
  EXPECT_EQ(r->status, 404);
  EXPECT_EQ(r->body, R"({"success":false,"error":"Alias 'nosuch' not found"})");
  r = run("slow", "", alice);
  EXPECT_EQ(r->status, 504);
  const Value t = Value::parse(r->body);
  EXPECT_EQ(t["timed_out"], true);
  EXPECT_EQ(t["error"], "Execution timed out");
  EXPECT_TRUE(contains(site.app_log(), "Command timed out after 1 seconds"));
}

TEST_F(Http, RefusesBadCredentialsAndHidesForbiddenAliases) {
  auto r = run("hello", "", basic_auth("alice", "wrong"));
  EXPECT_EQ(r->status, 401);
  EXPECT_TRUE(r->has_header("WWW-Authenticate"));
  r = run("hello", "", basic_auth("mallory", "wonderland"));
  EXPECT_EQ(r->status, 401);
  r = run("hello", "", "");
  EXPECT_EQ(r->status, 401);
  r = run("hello", "", basic_auth("bob", "builder"));
  EXPECT_EQ(r->status, 200);
  auto forbidden = run("fail", "", basic_auth("bob", "builder"));
  auto missing = run("nosuch", "", basic_auth("bob", "builder"));
  EXPECT_EQ(forbidden->status, 404);
  EXPECT_EQ(forbidden->body, R"({"success":false,"error":"Alias 'fail' not found"})");
  EXPECT_EQ(missing->status, 404);
  auto list = client->Get("/v1/aliases", httplib::Headers{{"Authorization", basic_auth("bob", "builder")}});
  ASSERT_TRUE(list) << httplib::to_string(list.error());
  ASSERT_EQ(list->status, 200) << list->body;
  const Value aliases = Value::parse(list->body)["aliases"];
  ASSERT_EQ(aliases.size(), 1u);
  EXPECT_EQ(aliases[0]["name"], "hello");
  EXPECT_EQ(aliases[0]["description"], "Says hello");
}

// The document lists only what the caller may run, mirrors the validator's
// rules, and passes an OpenAPI 3.1 validator.
TEST_F(Http, OpenApiDescribesWhatTheCallerMayRun) {
  EXPECT_EQ(client->Get("/v1/openapi.json")->status, 401);
  auto doc_for = [&](const std::string& auth) {
    auto r = client->Get("/v1/openapi.json", httplib::Headers{{"Authorization", auth}});
    EXPECT_TRUE(r && r->status == 200) << (r ? r->body : httplib::to_string(r.error()));
    return r ? Value::parse(r->body) : Value();
  };
  const Value bobs = doc_for(basic_auth("bob", "builder"));
  // Run and job paths per alias, and the three job routes everyone has.
  EXPECT_EQ(bobs["paths"].size(), 5u);
  EXPECT_TRUE(bobs["paths"].contains("/v1/run/hello"));
  EXPECT_TRUE(bobs["paths"].contains("/v1/jobs/hello"));
  const Value doc = doc_for(basic_auth("alice", "wonderland"));
  EXPECT_EQ(doc["openapi"], "3.1.0");
  EXPECT_EQ(doc["paths"].size(), 11u);
  EXPECT_EQ(doc["paths"]["/v1/run/hello"]["post"]["description"], "Says hello");
  const Value schema = doc["paths"]["/v1/run/greet"]["post"]["requestBody"]["content"]["application/json"]["schema"];
  EXPECT_EQ(schema["additionalProperties"], false);
  EXPECT_EQ(schema["required"], Value::array({"name"}));
  const Value& p = schema["properties"];
  EXPECT_EQ(p["name"]["maxLength"], 64);
  EXPECT_EQ(p["times"]["minimum"], 1);
  EXPECT_EQ(p["times"]["maximum"], 3);
  EXPECT_EQ(p["times"]["default"], 1);
  EXPECT_EQ(p["mood"]["enum"], Value::array({"glad", "calm", nullptr}));
  EXPECT_EQ(p["mood"]["pattern"], "^(?:[a-z]+)$");
  EXPECT_EQ(p["mood"]["description"], "How it sounds");
  EXPECT_EQ(doc["paths"]["/v1/jobs/greet"]["post"]["requestBody"]["content"]["application/json"]["schema"], schema);

  if (std::system("command -v openapi-spec-validator >/dev/null 2>&1") != 0) {
    if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true") FAIL() << "openapi-spec-validator is missing";
    GTEST_SKIP() << "openapi-spec-validator is not installed";
  }
  const std::string file = site.path("openapi.json");
  { std::ofstream(file) << doc.dump(); }
  EXPECT_EQ(std::system(("openapi-spec-validator " + file + " >" + file + ".out 2>&1").c_str()), 0)
      << slurp(file + ".out");
}

TEST_F(Http, MalformedRequestsGetClearJsonErrors) {
  const std::string alice = basic_auth("alice", "wonderland");
  auto r = run("greet", "{not json", alice);
  EXPECT_EQ(r->status, 400);
  EXPECT_TRUE(Value::parse(r->body).contains("error"));
  r = run("greet", "[1,2]", alice);
  EXPECT_EQ(r->status, 400);
  r = client->Post("/v1/run/greet", {{"Authorization", alice}}, "name=x", "application/x-www-form-urlencoded");
  EXPECT_EQ(r->status, 415);
  r = run("greet", Value{{"name", std::string(8000, 'x')}}.dump(), alice);
  EXPECT_EQ(r->status, 413);
  r = client->Get("/v1/nothing");
  EXPECT_EQ(r->status, 404);
  EXPECT_EQ(Value::parse(r->body)["error"], "Not found");
  r = client->Get("/v1/run/hello", {{"Authorization", alice}});
  EXPECT_EQ(r->status, 405);
  // The server survived all of it.
  EXPECT_EQ(run("hello", "", alice)->status, 200);
}

TEST_F(Http, BearerTokensWithRsaAndEcKeys) {
  auto r = run("hello", "", "Bearer " + sign(JWT_ALG_RS256, rsa_->private_pem, claims()));
  EXPECT_EQ(r->status, 200) << r->body;
  Value ec_claims = claims();
  ec_claims.erase("iss");
  ec_claims.erase("aud");
  r = run("hello", "", "Bearer " + sign(JWT_ALG_ES256, ec_->private_pem, ec_claims));
  EXPECT_EQ(r->status, 200) << r->body;
  // Authenticated, but the token's aliases claim does not include "fail".
  r = run("fail", "", "Bearer " + sign(JWT_ALG_RS256, rsa_->private_pem, claims()));
  EXPECT_EQ(r->status, 404);
  EXPECT_TRUE(contains(slurp(site.path("logs/audit.log")), "\"user\":\"ci-bot\""));
}

TEST_F(Http, BearerAttacksAreRefused) {
  // Unsigned token.
  EXPECT_EQ(run("hello", "", "Bearer " + sign(JWT_ALG_NONE, "", claims()))->status, 401);
  // HMAC signed with the public key as the secret.
  EXPECT_EQ(run("hello", "", "Bearer " + sign(JWT_ALG_HS256, rsa_->public_pem, claims()))->status, 401);
  // Expired.
  EXPECT_EQ(run("hello", "", "Bearer " + sign(JWT_ALG_RS256, rsa_->private_pem, claims(-3600)))->status, 401);
  // Wrong audience.
  Value c = claims();
  c["aud"] = "someone-else";
  EXPECT_EQ(run("hello", "", "Bearer " + sign(JWT_ALG_RS256, rsa_->private_pem, c))->status, 401);
  // A genuine signature with an algorithm the key is not listed for.
  const std::string rs384 = sign(JWT_ALG_RS384, rsa_->private_pem, claims());
  ASSERT_FALSE(rs384.empty());
  EXPECT_EQ(run("hello", "", "Bearer " + rs384)->status, 401);
}

TEST_F(Http, HealthAndMetrics) {
  auto r = client->Get("/health");
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, R"({"status":"ok"})");
  r = client->Get("/health", {{"X-API-Key", "health-secret"}});
  const Value h = Value::parse(r->body);
  EXPECT_EQ(h["aliases"], 4);
  EXPECT_EQ(h["users"], 2);
  EXPECT_TRUE(h["events"].contains("started_at"));
  EXPECT_EQ(client->Get("/health", {{"X-API-Key", "wrong"}})->status, 401);
  run("hello", "", basic_auth("alice", "wonderland"));
  r = client->Get("/metrics");
  EXPECT_TRUE(contains(r->body, "portico_runs_total{alias=\"hello\",outcome=\"success\"} 1")) << r->body;
  EXPECT_TRUE(contains(r->body, "portico_runs_in_flight 0"));
}


// The console is the embedded set of files and nothing else, always under its policy.
TEST_F(Http, TheConsoleIsServedFromTheEmbeddedFilesOnly) {
  client->set_follow_location(false);
  auto root = client->Get("/");
  EXPECT_EQ(root->status, 302);
  EXPECT_EQ(root->get_header_value("Location"), "/console/");
  EXPECT_EQ(client->Get("/console")->get_header_value("Location"), "/console/");
  auto page = client->Get("/console/");
  ASSERT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'none'"), std::string::npos);
  EXPECT_NE(page->body.find("id=\"signin\""), std::string::npos);
  const std::string etag = page->get_header_value("ETag");
  EXPECT_EQ(client->Get("/console/", httplib::Headers{{"If-None-Match", etag}})->status, 304);
  EXPECT_EQ(client->Get("/console/lib%2Ejs")->status, 200);
  for (const char* path : {"/console/../portico.conf", "/console/%2e%2e/portico.conf", "/console/nope.js",
                           "/console/web/index.html", "/consoles"}) {
    auto r = client->Get(path);
    EXPECT_EQ(r->status, 404) << path;
  }
}

}  // namespace
}  // namespace portico::test
