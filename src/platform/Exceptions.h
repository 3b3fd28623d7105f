// The exception classes live in the shared core; this header keeps the platform layer's
// include path for them.
#pragma once

#include "core/Exceptions.h"
