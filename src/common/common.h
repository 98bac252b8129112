#pragma once
// Shared helpers: values, text forms, descriptors, threads.
#include "common/duration.h"
#include "common/fd.h"
#include "common/text.h"
#include "common/thread.h"
#include "common/value.h"
