#pragma once
// The API server as start-up drives it.

namespace portico {

class ApiServer {
 public:
  virtual ~ApiServer() = default;
  // Serves until graceful_shutdown(); throws when it cannot listen.
  virtual void start() = 0;
  // Stops accepting and lets running requests finish. Any thread.
  virtual void graceful_shutdown() = 0;
};

}  // namespace portico
