#include <cstdio>
#include <cstdlib>
#include <exception>

#include "logging/logging.h"
#include "portico/startup.h"

int main(int argc, char** argv) {
  try {
    return portico::app::run(argc, argv);
  } catch (const std::exception& e) {
    // Exit through exit() so that registered exit actions (PID file) still run.
    portico::app_log()->error(std::string("Fatal: ") + e.what());
    std::fprintf(stderr, "ERROR: %s\n", e.what());
    std::exit(1);
  }
}
