#pragma once
// Private to the executor: the gateway's side of portico-spawner, the
// single-threaded process that starts every process-alias child.
//
// Thread rules: both functions may be called from any thread at any time.
// The spawner process is shared behind a mutex held only while a run's
// channel is handed over.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "common/fd.h"

namespace portico {

struct ChildIdentity;

// A started shell: its pid, the read ends of its stdout and stderr, and the
// channel to its run leader (see spawn_protocol.h).
struct SpawnedShell {
  pid_t pid = -1;
  UniqueFd out, err, channel;
};

// Starts "/bin/sh -c command" with exactly the environment `env` ("NAME=value"
// texts) and, when given, the identity. Starts the spawner first if it is not
// running, and a new one, logged, if it has died. Throws std::runtime_error
// with a text fit for the run's error when the shell could not be started.
SpawnedShell spawn_shell(const std::string& command, const std::vector<std::string>& env,
                         const std::optional<ChildIdentity>& identity);

// The spawner program: $PORTICO_SPAWNER, else portico-spawner beside the
// running program, else the installed one.
std::string spawner_path();

}  // namespace portico
