#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "jobs/live_job.h"

namespace portico::jobs {
namespace {

Job running_job() {
  Job j;
  j.id = "j1";
  j.user = "alice";
  j.alias = "talk";
  j.status = Status::running;
  j.created = "2026-12-10T00:00:00.000Z";
  return j;
}

struct Event {
  std::string name;
  Value data;
};

std::vector<Event> events_of(const std::string& text) {
  std::vector<Event> out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find("\n\n", at);
    const std::string block = text.substr(at, end - at);
    at = end + 2;
    const size_t nl = block.find('\n');
    out.push_back({block.substr(7, nl - 7), Value::parse(block.substr(nl + 7))});
  }
  return out;
}

std::string stream_text(const std::vector<Event>& events, const std::string& name) {
  std::string s;
  for (const auto& e : events)
    if (e.name == name) s += e.data.get<std::string>();
  return s;
}

// Whatever the pipe's pieces cut, the events carry the text as a whole
// decoding would: sequences split across pieces arrive whole, invalid bytes
// become U+FFFD, and nothing is held back at the end.
TEST(LiveJob, OutputSplitAnywhereDecodesAsTheWhole) {
  const std::string samples[] = {
      "a\xc3\xa9z",               // two bytes
      "\xe2\x82\xac!",            // three
      "\xf0\x9f\x98\x80\xf0\x9f",  // four, then a sequence the run never finishes
      "x\xff\xc3(\xe2\x82",        // invalid bytes and broken sequences
  };
  for (const std::string& bytes : samples)
    for (size_t cut1 = 0; cut1 <= bytes.size(); ++cut1)
      for (size_t cut2 = cut1; cut2 <= bytes.size(); ++cut2) {
        LiveJob job(running_job(), 1 << 20);
        job.output("stdout", bytes.substr(0, cut1));
        job.output("stdout", bytes.substr(cut1, cut2 - cut1));
        job.output("stdout", bytes.substr(cut2));
        job.finish(Status::succeeded, std::make_shared<const Value>(Value{{"success", true}}), "t");
        size_t offset = 0;
        std::string text;
        ASSERT_TRUE(job.read(offset, text));
        EXPECT_EQ(stream_text(events_of(text), "stdout"), decode_utf8_replace(bytes))
            << testing::PrintToString(bytes) << " cut at " << cut1 << "," << cut2;
      }
}

// A watcher is woken for each new event and ends with the end event, which
// carries the result; a stream past its bound says so once.
TEST(LiveJob, WatchersAreWokenAndEndWithTheResult) {
  LiveJob job(running_job(), 1024);
  size_t offset = 0;
  std::string seen;
  ASSERT_TRUE(job.read(offset, seen));
  int woken = 0;
  job.wait(offset, [&] { ++woken; });
  EXPECT_EQ(woken, 0);
  job.output("stderr", std::string(1500, 'e'));
  EXPECT_EQ(woken, 1);
  job.output("stderr", "more");
  job.output("stderr", "and more");
  job.wait(offset, [&] { ++woken; });  // something is already there: at once
  EXPECT_EQ(woken, 2);
  const auto result = std::make_shared<const Value>(Value{{"success", true}, {"stderr", std::string(1512, 'e')}});
  EXPECT_TRUE(job.finish(Status::succeeded, result, "t2"));
  EXPECT_FALSE(job.finish(Status::failed, result, "t3"));
  ASSERT_TRUE(job.read(offset, seen));
  EXPECT_FALSE(job.read(offset, seen));
  const auto events = events_of(seen);
  std::vector<std::string> names;
  for (const auto& e : events) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"status", "stderr", "truncated", "status", "end"}));
  EXPECT_EQ(events[2].data, (Value{{"stream", "stderr"}}));
  EXPECT_EQ(events.back().data["status"], "succeeded");
  EXPECT_EQ(events.back().data["result"], *result);

  // The same job from the history: its output, its status, the end.
  Job finished = job.snapshot();
  auto replay = LiveJob::replay(finished, 1024);
  size_t o2 = 0;
  std::string again;
  ASSERT_TRUE(replay->read(o2, again));
  const auto replayed = events_of(again);
  ASSERT_EQ(replayed.size(), 3u);
  EXPECT_EQ(replayed[0].name, "stderr");
  EXPECT_EQ(replayed[1].data, (Value{{"status", "succeeded"}}));
  EXPECT_EQ(replayed[2].data, events.back().data);
}

TEST(LiveJob, CancelStopsAQueuedJobFromStartingAndNeverTouchesAFinishedOne) {
  Job j = running_job();
  j.status = Status::queued;
  LiveJob queued(j, 1024);
  EXPECT_EQ(queued.cancel(), LiveJob::Cancel::queued);
  EXPECT_FALSE(queued.start("t"));
  LiveJob running(running_job(), 1024);
  EXPECT_EQ(running.cancel(), LiveJob::Cancel::running);
  EXPECT_TRUE(running.cancel_flag().load());
  running.finish(Status::cancelled, nullptr, "t");
  EXPECT_EQ(running.cancel(), LiveJob::Cancel::finished);
}

}  // namespace
}  // namespace portico::jobs
