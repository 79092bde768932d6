#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "archive/crc.h"
#include "compress/archive_writer.h"

namespace {

struct CrcTest : ::testing::Test {
    AceCrc crc{};
    void SetUp() override { crc_build_table(crc); }

    uint32_t byte_loop(uint32_t value, const uint8_t* p, size_t n) const
    {
        while (n--)
            value = (value >> 8) ^ crc.table[0][(value ^ *p++) & 0xFF];
        return value;
    }
};

TEST_F(CrcTest, ByteTableMatchesReflectedPolynomial)
{
    EXPECT_EQ(crc.table[0][0], 0u);
    EXPECT_EQ(crc.table[0][1], 0x77073096u);
    EXPECT_EQ(crc.table[0][128], 0xEDB88320u);
    EXPECT_EQ(crc.table[0][255], 0x2D02EF8Du);
}

TEST_F(CrcTest, RunningValueIsNeverInverted)
{
    const char* check = "123456789";
    // The usual CRC-32 check value is 0xCBF43926, which is the final
    // inversion of the running value.
    EXPECT_EQ(crc_update(crc, CRC_INIT, check, 9), ~0xCBF43926u);
    EXPECT_EQ(crc_update(crc, CRC_INIT, check, 0), CRC_INIT);
}

TEST_F(CrcTest, MainHeaderBodyOfTheInstallerArchive)
{
    const uint8_t body[27] = {0x00, 0x00, 0x80, 0x2A, 0x2A, 0x41, 0x43, 0x45, 0x2A,
                              0x2A, 0x0A, 0x14, 0x02, 0x00, 0x20, 0xBE, 0x2D, 0x2B,
                              0xDF, 0x41, 0x04, 0xF3, 0x00, 0x01, 0x04, 0x0A, 0x00};
    uint32_t v = crc_update(crc, CRC_INIT, body, sizeof body);
    EXPECT_EQ(v, 0x7A0E2585u);
    EXPECT_EQ(v & 0xFFFF, 0x2585u);
}

TEST_F(CrcTest, EightByteStepsAgreeWithByteLoopAtEveryLengthAndAlignment)
{
    std::mt19937 rng(7);
    std::vector<uint8_t> data(200);
    for (auto& b : data)
        b = uint8_t(rng());
    for (size_t start = 0; start < 8; start++)
        for (size_t n = 0; start + n <= 80; n++)
            ASSERT_EQ(crc_update(crc, 0x12345678u, data.data() + start, n),
                      byte_loop(0x12345678u, data.data() + start, n))
                << "start " << start << " length " << n;
}

// Each carry-less form the processor has against the tables: running
// values of every shape, lengths around each form's fold (64, 128 and 256
// bytes) and its 16-byte steps, and every alignment of a load.
TEST_F(CrcTest, CarryLessFoldingGivesTheTablesRunningValue)
{
    const int widest = crc_carry_less_available();
    if (widest == CRC_FOLD_NONE)
        GTEST_SKIP() << "no PCLMULQDQ on this processor";
    EXPECT_EQ(crc.carry_less, widest);
    std::mt19937 rng(5);
    std::vector<uint8_t> data(70000);
    for (auto& b : data)
        b = uint8_t(rng());
    for (int form = CRC_FOLD_16; form <= widest; ++form) {
        SCOPED_TRACE("form " + std::to_string(form));
        crc.carry_less = uint8_t(form);
        for (int round = 0; round < 3000; round++) {
            const size_t start = rng() % 64;
            const size_t n = round < 400 ? size_t(round) : rng() % (round < 2900 ? 600 : data.size() - start);
            const uint32_t value = round % 3 == 0 ? CRC_INIT : round % 3 == 1 ? 0u : uint32_t(rng());
            ASSERT_EQ(crc_update_carry_less(crc, value, data.data() + start, n),
                      crc_update_by_table(crc, value, data.data() + start, n))
                << "start " << start << " length " << n << " value " << value;
        }
        EXPECT_EQ(crc_update_carry_less(crc, CRC_INIT, data.data(), data.size()),
                  byte_loop(CRC_INIT, data.data(), data.size()));
    }
}

TEST_F(CrcTest, PiecewiseUpdatesEqualOneUpdateAndTheWritersCrc)
{
    std::mt19937 rng(11);
    std::vector<uint8_t> data(1 << 20);
    for (auto& b : data)
        b = uint8_t(rng());
    uint32_t whole = crc_update(crc, CRC_INIT, data.data(), data.size());
    EXPECT_EQ(whole, byte_loop(CRC_INIT, data.data(), data.size()));
    EXPECT_EQ(whole, writer_crc32(data));

    uint32_t v = CRC_INIT;
    size_t at = 0;
    while (at < data.size()) {
        size_t n = std::min<size_t>(rng() % 5000, data.size() - at);
        v = crc_update(crc, v, data.data() + at, n);
        at += n;
    }
    EXPECT_EQ(v, whole);
}

}  // namespace
