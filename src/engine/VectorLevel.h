// How wide the vector instructions of the pixel kernels may be. Every kernel gives the
// same bytes at every level; by default the kernels use the widest the processor offers,
// and tests lower the cap to run the narrower kernels on the same machine.
#pragma once

namespace engine {

enum class VectorLevel {
    Portable = 0, // plain C++
    Avx2 = 1,     // AVX2, and the SSSE3 kernels
    Avx512 = 2,   // AVX-512 with byte permutes (F, BW, VL, VBMI)
};

VectorLevel vectorLevelCap();
void setVectorLevelCap(VectorLevel cap);

// Whether kernels of this level may run: the cap allows them and the processor has the
// instructions (Avx2: AVX2; Avx512: AVX2 and AVX-512 F, BW, VL and VBMI).
bool vectorLevelUsable(VectorLevel level);

// Lowers the cap for as long as it lives.
class VectorLevelCap {
public:
    explicit VectorLevelCap(VectorLevel cap) : saved_(vectorLevelCap()) { setVectorLevelCap(cap); }
    ~VectorLevelCap() { setVectorLevelCap(saved_); }
    VectorLevelCap(const VectorLevelCap&) = delete;
    VectorLevelCap& operator=(const VectorLevelCap&) = delete;

private:
    VectorLevel saved_;
};

} // namespace engine
