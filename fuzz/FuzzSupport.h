// What every harness shares: a lowered picture memory limit, so that fuzzing explores
// the formats instead of allocating the huge pictures their headers may legally
// declare, and the note of whether an input was accepted, which the standalone replay
// checks for the crasher files (each must be refused).
#pragma once

#include <cstdint>

#include "platform/Limits.h"

namespace pwfuzz {

// Pictures costing more than this are refused by every reader while fuzzing.
inline constexpr uint64_t kPictureMemory = uint64_t(4) << 20;

inline const bool kLimitsLowered = [] {
    limits::setMemoryCeiling(kPictureMemory);
    return true;
}();

// Set by a harness when one of its readers read the current input without refusing it;
// the replay clears it before each input.
inline bool accepted = false;

} // namespace pwfuzz
