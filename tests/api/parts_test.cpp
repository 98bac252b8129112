// The front door's parts that can be shown faster alone than through the
// program: body parsing, streamed answers, sign-in throttling, routing and the
// bounded pools.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <random>

#include "api/answer.h"
#include "api/json_body.h"
#include "api/pool.h"
#include "api/router.h"
#include "api/throttle.h"

namespace portico::api {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

TEST(JsonBody, HostileShapesAreRefusedOrParsedInLinearTime) {
  std::string error;
  // 100,000 levels once overflowed the stack while parsing and copying.
  EXPECT_FALSE(parse_json_body(std::string(100000, '[') + std::string(100000, ']'), error));
  EXPECT_EQ(error, "Request body nests too deeply");
  std::string deep = "1";
  for (int i = 0; i < 64; ++i) deep = (i % 2 ? "[" : "{\"k\":") + deep + (i % 2 ? "]" : "}");
  EXPECT_TRUE(parse_json_body(deep, error)) << "64 levels are allowed";
  EXPECT_FALSE(parse_json_body("[" + deep + "]", error));

  // Quadratic key insertion once took seconds for 40,000 keys. Eight times the
  // keys must cost about eight times as much, not sixty-four (the best of
  // three runs each, so that a busy machine does not decide).
  auto wide = [](int keys) {
    std::string text = "{";
    for (int i = 0; i < keys; ++i) text += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(i);
    return text + "}";
  };
  auto best_time = [&](const std::string& text) {
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
      const auto t0 = Clock::now();
      EXPECT_TRUE(parse_json_body(text, error));
      best = std::min(best, seconds_since(t0));
    }
    return best;
  };
  const double small = best_time(wide(20000)), large = best_time(wide(160000));
  EXPECT_LT(large, 25 * small) << small << " s for 20,000 keys, " << large << " s for 160,000";
  auto v = parse_json_body(wide(160000), error);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->size(), 160000u);
  EXPECT_EQ(v->begin().key(), "k0");
  EXPECT_EQ((*v)["k159999"], 159999);

  for (const char* bad : {"{not json", "{\"a\":1} x", "", "\"\xff\""}) {
    EXPECT_FALSE(parse_json_body(bad, error)) << bad;
    EXPECT_EQ(error, "Request body is not valid JSON");
  }
}

TEST(JsonBody, RepeatedKeysKeepTheirFirstPlaceAndLastValueAsTheLibraryDoes) {
  const std::string text = R"({"b":1,"a":{"x":1,"x":[1,{"y":2,"y":3}]},"b":2,"c":null,"a":5})";
  std::string error;
  const auto v = parse_json_body(text, error);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->dump(), Value::parse(text).dump());
  EXPECT_EQ(v->dump(), R"({"b":2,"a":5,"c":null})");
  EXPECT_EQ(parse_json_body(R"({"x":{"y":2,"y":3}})", error)->dump(), R"({"x":{"y":3}})");
}

// Every way the serialiser escapes, and invalid UTF-8 placed across every cut.
TEST(JsonPieces, PiecesJoinToExactlyWhatOneDumpWrites) {
  std::mt19937 rng(7);
  std::string noise(3000, '\0');
  for (char& c : noise) c = static_cast<char>(rng() % 256);
  std::string continuations(50, '\x80');
  const Value v = Value{
      {"success", true},
      {"returncode", -3},
      {"n", 2.5},
      {"stdout", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \"q\" \\ \t\n\x01 end"},
      {"noise", noise},
      {"cont", continuations + "a\xe2\x82" + "b\xf0\x9f\x98"},
      {"nested", {{"empty_obj", Value::object()}, {"empty_arr", Value::array()}, {"arr", {1, "two", nullptr, {3}}}}},
      {"k\xff\"ey", ""},
  };
  const std::string whole = v.dump(-1, ' ', false, Value::error_handler_t::replace);
  EXPECT_EQ(json_length(v), whole.size());
  auto shared = std::make_shared<const Value>(v);
  for (size_t size : {1, 2, 3, 5, 7, 64, 1000, 1 << 20}) {
    JsonPieces pieces(shared);
    std::string joined, piece;
    while (pieces.next(piece, size)) joined += piece;
    EXPECT_EQ(joined, whole) << "pieces of " << size;
  }
  JsonPieces scalar(std::make_shared<const Value>(42));
  std::string piece;
  ASSERT_TRUE(scalar.next(piece, 10));
  EXPECT_EQ(piece, "42");
  EXPECT_FALSE(scalar.next(piece, 10));
}

TEST(Throttle, LimitsFailuresPerPairWithinTheWindowAndHoldsPlacesForChecksInProgress) {
  SignInThrottle t(3);
  const auto t0 = Clock::time_point() + std::chrono::hours(1);
  for (int i = 0; i < 3; ++i) {
    ASSERT_FALSE(t.admit("10.0.0.1", "amy", true, t0 + std::chrono::seconds(i)));
    t.settle("10.0.0.1", "amy", true, true, t0 + std::chrono::seconds(i));
  }
  // The oldest failure (at +0) leaves the window at +60.
  EXPECT_EQ(t.admit("10.0.0.1", "amy", false, t0 + std::chrono::seconds(10)), 50);
  EXPECT_FALSE(t.admit("10.0.0.2", "amy", false, t0)) << "another address is unaffected";
  EXPECT_FALSE(t.admit("10.0.0.1", "bob", false, t0)) << "another user is unaffected";
  ASSERT_FALSE(t.admit("10.0.0.1", "amy", true, t0 + std::chrono::seconds(60)));
  t.settle("10.0.0.1", "amy", true, true, t0 + std::chrono::seconds(60));
  EXPECT_EQ(t.admit("10.0.0.1", "amy", false, t0 + std::chrono::seconds(60)), 1);
  EXPECT_FALSE(t.admit("10.0.0.1", "amy", false, t0 + std::chrono::seconds(61)));

  // Guesses sent together: only as many as the limit are checked.
  const auto t1 = t0 + std::chrono::hours(1);
  int admitted = 0;
  for (int i = 0; i < 10; ++i) admitted += !t.admit("10.0.0.3", "cat", true, t1);
  EXPECT_EQ(admitted, 3);
  t.settle("10.0.0.3", "cat", true, false, t1);  // one succeeded: its place is free again, uncounted
  EXPECT_FALSE(t.admit("10.0.0.3", "cat", true, t1));

  SignInThrottle off(0);
  for (int i = 0; i < 100; ++i) off.settle("a", "b", false, true, t0);
  EXPECT_FALSE(off.admit("a", "b", true, t0));
}

TEST(Throttle, RotatingNamesCannotGrowItsMemory) {
  SignInThrottle t(2, 1000);
  const auto now = Clock::now();
  for (int i = 0; i < 20000; ++i) t.settle("10.0.0.9", "name" + std::to_string(i), false, true, now);
  EXPECT_LE(t.pairs(), 1000u);
  t.settle("10.0.0.9", "amy", false, true, now);
  t.settle("10.0.0.9", "amy", false, true, now);
  EXPECT_TRUE(t.admit("10.0.0.9", "amy", false, now)) << "a pair touched lately is kept";
}

TEST(Router, MatchesBySegmentsAndTellsMissingFromWrongMethod) {
  using boost::beast::http::verb;
  Router r;
  int hit = 0;
  r.add(verb::post, "/v1/run/{alias}", [&](const ExchangePtr&) { hit = 1; });
  r.add(verb::get, "/v1/aliases/{alias}", [&](const ExchangePtr&) { hit = 2; });
  r.add(verb::delete_, "/v1/aliases/{alias}", [&](const ExchangePtr&) { hit = 3; });

  auto f = r.find(verb::post, "/v1/run/a%20b%2Fc");
  ASSERT_TRUE(f && f->handler);
  (*f->handler)(nullptr);
  EXPECT_EQ(hit, 1);
  EXPECT_EQ(f->params, std::vector<std::string>{"a b/c"});
  f = r.find(verb::put, "/v1/aliases/x");
  ASSERT_TRUE(f);
  EXPECT_FALSE(f->handler);
  EXPECT_EQ(f->allow, "GET, DELETE");
  for (const char* missing : {"/v1/run/", "/v1/run/a/b", "/v1/run", "/", "/v1/runs/a"}) {
    f = r.find(verb::post, missing);
    ASSERT_TRUE(f) << missing;
    EXPECT_FALSE(f->handler) << missing;
    EXPECT_EQ(f->allow, "") << missing;
  }
  for (const char* malformed : {"/v1/run/%", "/v1/run/%4", "/v1/run/%zz", "/v1/run/a%00b", "relative"})
    EXPECT_FALSE(r.find(verb::post, malformed)) << malformed;
  // A long path costs a loop, not a stack frame or a regex state per character.
  std::string longest = "/v1/run/";
  for (int i = 0; i < 200000; ++i) longest += "%41";
  f = r.find(verb::post, longest);
  ASSERT_TRUE(f && f->handler);
  EXPECT_EQ(f->params[0].size(), 200000u);
  EXPECT_EQ(decode_query_value("a+b%26c"), "a b&c");
}

TEST(WorkPool, AdmitsThreadsPlusQueueAndRunsEverythingAdmittedBeforeStopping) {
  WorkPool pool("test-pool", 2, 3);
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  std::atomic<int> ran{0};
  int admitted = 0;
  for (int i = 0; i < 8; ++i)
    admitted += pool.try_submit([&, gate] {
      gate.wait();
      ++ran;
    });
  EXPECT_EQ(admitted, 5);
  release.set_value();
  pool.stop();
  EXPECT_EQ(ran.load(), 5);
  EXPECT_FALSE(pool.try_submit([] {}));
}

}  // namespace
}  // namespace portico::api
