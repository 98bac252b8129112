#pragma once
// An executor wired to a map configuration and the real renderer and logging,
// with SharedDir and LogDir in a temporary directory.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "executor/executor.h"
#include "logging/logging.h"
#include "support/map_config.h"
#include "support/support.h"
#include "template/template.h"

namespace portico::test {

// Process runs go through the spawner built beside the program, not beside this test.
inline const bool kSpawnerFromBuild = setenv("PORTICO_SPAWNER", PORTICO_SPAWNER_BINARY, 0) == 0;

class ExecutorFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    cfg.set("SharedDir", dir / "shared");
    cfg.set("LogDir", dir / "logs");
    cfg.set("AppLog", "app.log");
    cfg.set("AuditLog", "none");
    cfg.set("LogLevel", "debug");
    logging.setup_logging(cfg);
  }
  // Runs an alias defined by its JSON text.
  Value run(const std::string& alias_json, const Value& params = Value::object()) {
    cfg.set_alias("a", Value::parse(alias_json));
    return ex.execute_alias("a", params);
  }
  std::string app_log() const { return slurp(dir / "logs/app.log"); }

  TempDir dir;
  MapConfig cfg;
  TemplateEngine renderer;
  LoggingService logging;
  Executor ex{{cfg, cfg, renderer, logging}};
};

}  // namespace portico::test
