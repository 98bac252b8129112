#pragma once
// The gateway's start-up sequence, serving and shutdown.

namespace portico::app {

// Runs the program; returns the exit status (refusals exit directly with 1).
int run(int argc, char** argv);

}  // namespace portico::app
