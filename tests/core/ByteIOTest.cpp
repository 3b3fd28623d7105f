#include <gtest/gtest.h>

#include "core/ByteIO.h"
#include "core/Checked.h"

namespace {

[[noreturn]] void customOverrun() {
    throw EFileError("custom");
}

} // namespace

TEST(ByteIO, WriterAndReaderAgreeOnLittleEndianLayout) {
    std::vector<uint8_t> out{0xAA};
    core::ByteWriter w(out);
    w.u16(0x1234);
    w.u32(0xDEADBEEF);
    w.i32(-2);
    w.i16(-3);
    w.zeros(2);
    w.patch32(1, 0x01020304); // overwrites the u16 and half of the u32
    const std::vector<uint8_t> expect{0xAA, 0x04, 0x03, 0x02, 0x01, 0xAD, 0xDE, 0xFE,
                                      0xFF, 0xFF, 0xFF, 0xFD, 0xFF, 0x00, 0x00};
    EXPECT_EQ(out, expect);

    core::ByteReader r(out);
    EXPECT_EQ(r.u8(), 0xAA);
    EXPECT_EQ(r.u32(), 0x01020304u);
    EXPECT_EQ(r.u16(), 0xDEADu);
    EXPECT_EQ(r.i32(), -2);
    EXPECT_EQ(r.i16(), -3);
    EXPECT_EQ(r.remaining(), 2u);
    EXPECT_EQ(r.u32At(1), 0x01020304u);
    EXPECT_EQ(r.be32At(1), 0x04030201u);
    EXPECT_EQ(r.pos(), 13u); // positioned reads leave the cursor alone
}

TEST(ByteIO, ReaderRefusesEveryOverrunWithoutMoving) {
    const std::vector<uint8_t> bytes{1, 2, 3};
    core::ByteReader r(bytes);
    r.skip(2);
    EXPECT_THROW(r.u16(), EInvalidGraphic);
    EXPECT_EQ(r.pos(), 2u);
    EXPECT_THROW(r.bytes(2), EInvalidGraphic);
    EXPECT_THROW(r.skip(2), EInvalidGraphic);
    EXPECT_THROW(r.seek(4), EInvalidGraphic);
    EXPECT_EQ(r.u8(), 3);
    EXPECT_THROW(r.u8(), EInvalidGraphic);
    // Offsets near the top of size_t must not wrap around into the buffer.
    EXPECT_THROW(r.u32At(SIZE_MAX - 1), EInvalidGraphic);
    EXPECT_THROW(r.u16At(2), EInvalidGraphic);
    EXPECT_FALSE(r.has(SIZE_MAX, 2));

    core::ByteReader custom(bytes, customOverrun);
    EXPECT_THROW(custom.bytes(4), EFileError);
    const std::vector<uint8_t> none;
    core::ByteReader empty(none);
    EXPECT_TRUE(empty.atEnd());
    EXPECT_EQ(empty.bytes(0).size(), 0u);
    EXPECT_THROW(empty.u8(), EInvalidGraphic);
}

TEST(Checked, OverflowIsReportedNotWrapped) {
    EXPECT_EQ(core::checkedMul<uint64_t>(1u << 31, 1u << 31), uint64_t(1) << 62);
    EXPECT_FALSE(core::checkedMul<uint64_t>(uint64_t(1) << 32, uint64_t(1) << 32));
    EXPECT_FALSE(core::checkedMul<int64_t>(INT64_MIN, -1));
    EXPECT_FALSE(core::checkedAdd<uint32_t>(0xFFFFFFFFu, 1));
    EXPECT_EQ(core::checkedAdd<int32_t>(-5, 3), -2);
}

TEST(Checked, MulDivRoundsHalfAwayFromZeroAndSaturates) {
    EXPECT_EQ(core::mulDiv(5, 1, 2), 3);
    EXPECT_EQ(core::mulDiv(-5, 1, 2), -3);
    EXPECT_EQ(core::mulDiv(7, 3, 4), 5); // 5.25
    EXPECT_EQ(core::mulDiv(-7, 3, 4), -5);
    EXPECT_EQ(core::mulDiv(100, 2540, 96), 2646); // 2645.83
    EXPECT_EQ(core::mulDiv(1, 1, 0), 0);
    EXPECT_EQ(core::mulDiv(INT64_MAX, INT64_MAX, 1), INT32_MAX);
    EXPECT_EQ(core::mulDiv(INT64_MIN, INT64_MAX, 3), INT32_MIN);
    // A product beyond 64 bits divided back into range stays exact.
    EXPECT_EQ(core::mulDiv(int64_t(1) << 40, int64_t(1) << 40, int64_t(1) << 60), 1 << 20);
}
