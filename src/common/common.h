#pragma once
// Shared helpers: values, text forms, descriptors.
#include "common/fd.h"
#include "common/text.h"
#include "common/value.h"
