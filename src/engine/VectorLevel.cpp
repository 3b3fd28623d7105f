#include "engine/VectorLevel.h"

#include <atomic>

namespace engine {

namespace {

std::atomic<VectorLevel> cap{VectorLevel::Avx512};

bool processorHas(VectorLevel level) {
    switch (level) {
    case VectorLevel::Portable:
        return true;
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
    case VectorLevel::Avx2:
        return __builtin_cpu_supports("avx2");
    case VectorLevel::Avx512:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
               __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
               __builtin_cpu_supports("avx512vbmi");
#endif
    default:
        return false;
    }
}

} // namespace

VectorLevel vectorLevelCap() {
    return cap.load(std::memory_order_relaxed);
}

void setVectorLevelCap(VectorLevel level) {
    cap.store(level, std::memory_order_relaxed);
}

bool vectorLevelUsable(VectorLevel level) {
    static const bool has[3] = {processorHas(VectorLevel::Portable),
                                processorHas(VectorLevel::Avx2), processorHas(VectorLevel::Avx512)};
    return level <= vectorLevelCap() && has[static_cast<int>(level)];
}

} // namespace engine
