#include "preserve/preserve.h"

namespace portico::preserve {

const char* const STREAM_NAMES[2] = {"stdout", "stderr"};

}  // namespace portico::preserve
