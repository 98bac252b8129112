#include <gtest/gtest.h>
#include <sys/stat.h>

#include <stdexcept>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "jobs/job_store.h"
#include "support/support.h"

namespace portico::jobs {
namespace {

Job queued(const std::string& id, const std::string& user, const std::string& alias, const std::string& at) {
  Job j;
  j.id = id;
  j.user = user;
  j.alias = alias;
  j.created = at;
  return j;
}

JobQuery query(std::optional<std::string> user = {}, std::optional<std::string> alias = {},
               std::optional<Status> status = {}, std::optional<std::string> before = {}, size_t limit = 50) {
  JobQuery q;
  q.user = std::move(user);
  q.alias = std::move(alias);
  q.status = status;
  q.before = std::move(before);
  q.limit = limit;
  return q;
}

std::vector<std::string> ids(const JobPage& page) {
  std::vector<std::string> out;
  for (const auto& j : page.jobs) out.push_back(j.id);
  return out;
}

// A job moves forward only; what was running when the process stopped is
// interrupted at the next start; the rows outlive the store object.
TEST(JobStore, StatusesMoveForwardOnlyAndSurviveARestart) {
  test::TempDir dir;
  const std::string path = dir.str() + "/jobs.sqlite3";
  {
    JobStore store(path);
    store.add(queued("a", "amy", "hello", "2026-12-09T10:00:00.000Z"));
    store.add(queued("b", "amy", "hello", "2026-12-09T10:00:01.000Z"));
    store.add(queued("c", "amy", "hello", "2026-12-09T10:00:02.000Z"));
    EXPECT_THROW(store.add(queued("a", "bob", "x", "t")), std::runtime_error);
    EXPECT_TRUE(store.mark_running("a", "2026-12-09T10:00:03.000Z"));
    EXPECT_FALSE(store.mark_running("a", "later"));
    const Value result{{"success", true}, {"returncode", 0}, {"stdout", "hi\n"}};
    EXPECT_TRUE(store.finish("a", Status::succeeded, result, "2026-12-09T10:00:04.000Z"));
    EXPECT_FALSE(store.finish("a", Status::cancelled, Value(), "later"));
    EXPECT_FALSE(store.mark_running("nosuch", "t"));
    EXPECT_TRUE(store.mark_running("b", "2026-12-09T10:00:05.000Z"));
    EXPECT_THROW(store.finish("c", Status::running, Value(), "t"), std::invalid_argument);

    const auto a = store.get("a");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->to_value(true).dump(),
              R"({"job_id":"a","status":"succeeded","alias":"hello","user":"amy","created":"2026-12-09T10:00:00.000Z",)"
              R"("started":"2026-12-09T10:00:03.000Z","finished":"2026-12-09T10:00:04.000Z",)"
              R"("result":{"success":true,"returncode":0,"stdout":"hi\n"}})");
  }
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // results hold commands' output

  JobStore again(path);
  EXPECT_EQ(again.interrupt_unfinished("2026-12-09T11:00:00.000Z"), 2u);
  EXPECT_EQ(again.get("b")->status, Status::interrupted);
  EXPECT_EQ(again.get("c")->finished, "2026-12-09T11:00:00.000Z");
  EXPECT_EQ(again.get("a")->status, Status::succeeded);
  EXPECT_FALSE(again.get("nosuch"));
}

TEST(JobStore, ListsNewestFirstFilteredAndPaged) {
  test::TempDir dir;
  JobStore store(dir.str() + "/jobs.sqlite3");
  for (int i = 0; i < 7; ++i) {
    const std::string id = "j" + std::to_string(i);
    store.add(queued(id, i % 2 ? "bob" : "amy", i < 4 ? "hello" : "greet", "t" + std::to_string(i)));
    if (i % 3 == 0) store.finish(id, Status::failed, Value{{"success", false}}, "f");
  }
  EXPECT_EQ(ids(store.list(query("amy"))), (std::vector<std::string>{"j6", "j4", "j2", "j0"}));
  EXPECT_EQ(ids(store.list({})), (std::vector<std::string>{"j6", "j5", "j4", "j3", "j2", "j1", "j0"}));
  EXPECT_EQ(ids(store.list(query("amy", "hello"))), (std::vector<std::string>{"j2", "j0"}));
  EXPECT_EQ(ids(store.list(query({}, {}, Status::failed))), (std::vector<std::string>{"j6", "j3", "j0"}));
  EXPECT_TRUE(store.list({}).jobs[0].to_value(false).contains("result") == false);

  JobPage page = store.list(query({}, {}, {}, {}, 3));
  EXPECT_EQ(ids(page), (std::vector<std::string>{"j6", "j5", "j4"}));
  ASSERT_EQ(page.next_before, "j4");
  page = store.list(query({}, {}, {}, page.next_before, 3));
  EXPECT_EQ(ids(page), (std::vector<std::string>{"j3", "j2", "j1"}));
  page = store.list(query({}, {}, {}, page.next_before, 3));
  EXPECT_EQ(ids(page), (std::vector<std::string>{"j0"}));
  EXPECT_FALSE(page.next_before);
  EXPECT_TRUE(store.list(query({}, {}, {}, "nosuch")).jobs.empty());

  // Only finished jobs older than the cut-off go.
  EXPECT_EQ(store.prune("g"), 3u);
  EXPECT_EQ(store.list({}).jobs.size(), 4u);
}

TEST(JobStore, AnUnopenableDatabaseNamesItsPath) {
  test::TempDir dir;
  const std::string path = dir.str() + "/missing/jobs.sqlite3";
  try {
    JobStore store(path);
    FAIL() << "opened " << path;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Job database " + path + ": No such file or directory");
  }
  const std::string garbage = dir.write("garbage.sqlite3", std::string(4096, 'x'));
  EXPECT_THROW(JobStore store(garbage), std::runtime_error);
}

}  // namespace
}  // namespace portico::jobs
