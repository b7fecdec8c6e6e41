#include "fits/mem_stream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using namespace skanvert;

namespace {

std::vector<unsigned char> storedBytes(const void* value, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(value);
    return std::vector<unsigned char>(p, p + n);
}

}  // namespace

TEST(MemStream, GrowthKeepsContent) {
    // Equal appends of B bytes across many reallocations: every byte stays.
    const std::int64_t B = 100;
    TMemStream s;
    for (std::int64_t k = 1; k <= 31; ++k) {
        const std::vector<unsigned char> chunk(static_cast<std::size_t>(B), static_cast<unsigned char>(k));
        ASSERT_TRUE(s.Append(chunk.data(), B));
        ASSERT_GE(s.Capacity(), s.Size());
    }
    ASSERT_EQ(s.Size(), 31 * B);
    for (std::int64_t i = 0; i < s.Size(); ++i) ASSERT_EQ(s.Data()[i], i / B + 1) << i;

    // Appending a part of the stream's own data across a reallocation.
    TMemStream own;
    own.Append("abcd", 4);
    own.Append("abcd", 4);
    ASSERT_TRUE(own.Append(own.Data() + 1, 3));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(own.Data()), 11), "abcdabcdbcd");
}

TEST(MemStream, RefusalsLeaveStreamUnchanged) {
    TMemStream empty;
    EXPECT_TRUE(empty.Append("x", 0));
    EXPECT_EQ(empty.Data(), nullptr);
    EXPECT_FALSE(empty.WriteTo(stdout));
    EXPECT_FALSE(empty.Append("x", -1));

    TMemStream s;
    s.Append("abcdefgh", 8);
    const unsigned char* block = s.Data();
    const std::int64_t capacity = s.Capacity();
    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    EXPECT_FALSE(s.Reserve(capacity - 1));  // below what the stream holds room for
    EXPECT_FALSE(s.Append("x", max));             // size + n overflows
    EXPECT_FALSE(s.Append("x", max / 2 - 7));     // twice the needed length overflows
    EXPECT_FALSE(s.Append(nullptr, 1));
    EXPECT_TRUE(s.Data() == block && s.Size() == 8 && s.Capacity() == capacity);

    ASSERT_TRUE(s.Reserve(capacity));  // same length: a new block with the same content
    EXPECT_EQ(std::memcmp(s.Data(), "abcdefgh", 8), 0);
}

TEST(MemStream, WriteToReportsShortWrites) {
    const std::string path = ::testing::TempDir() + "mem_stream_write.bin";
    TMemStream s;
    s.Append("0123456789", 10);
    EXPECT_FALSE(s.WriteTo(nullptr));

    std::FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_TRUE(s.WriteTo(out));
    std::fclose(out);

    std::FILE* in = std::fopen(path.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    char back[16] = {};
    EXPECT_EQ(std::fread(back, 1, sizeof back, in), 10u);
    EXPECT_EQ(std::string(back, 10), "0123456789");
    EXPECT_FALSE(s.WriteTo(in));  // a stream open for reading takes no bytes
    std::fclose(in);
    std::remove(path.c_str());
}

TEST(BigEndian, ScaleToInt32) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::uint32_t low1e19 = static_cast<std::uint32_t>(10000000000000000000ULL);
    struct Case { double value; std::uint32_t word; };
    const Case cases[] = {
        {1.239, 123}, {-1.239, 0xFFFFFF85u}, {0.009, 0}, {0.29, 28}, {-0.29, 0xFFFFFFE4u},
        {-0.0, 0}, {0.03, 2}, {-0.15, 0xFFFFFFF2u},         // exact products just inside 3 and -15
        {-21474836.48, 0x80000000u}, {3e7, 0xB2D05E00u},   // 3e9 keeps its low 32 bits
        {1e17, low1e19}, {-1e17, 0u - low1e19},              // beyond the 64-bit range
        {1e300, 0}, {std::nan(""), 0}, {inf, 0}, {-inf, 0},
    };
    std::vector<double> values;
    for (const Case& c : cases) values.push_back(c.value);
    std::vector<unsigned char> out(4 * values.size() + 1, 0xEE);
    scaleToInt32BE(values.data(), out.data(), static_cast<std::int64_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::uint32_t w = cases[i].word;
        const std::vector<unsigned char> expected = {static_cast<unsigned char>(w >> 24), static_cast<unsigned char>(w >> 16),
                                                     static_cast<unsigned char>(w >> 8), static_cast<unsigned char>(w)};
        EXPECT_EQ(std::vector<unsigned char>(out.begin() + 4 * i, out.begin() + 4 * i + 4), expected) << cases[i].value;
    }
    EXPECT_EQ(out.back(), 0xEE);
}

TEST(BigEndian, SwapFloatAndInt16) {
    struct FloatCase { std::uint32_t bits; std::vector<unsigned char> stored; };
    for (const FloatCase& c : {FloatCase{0x3F800000u, {0x3F, 0x80, 0x00, 0x00}},   // 1.0
                               {0x7FC00001u, {0x7F, 0xC0, 0x00, 0x01}}}) {         // NaN payload kept
        float x;
        std::memcpy(&x, &c.bits, 4);
        const std::uint32_t v = swapFloat32(x);
        EXPECT_EQ(storedBytes(&v, 4), c.stored) << std::hex << c.bits;
    }
    for (const std::int16_t x : {std::int16_t{1}, std::int16_t{-2}, std::int16_t{0x1234}}) {
        const std::uint16_t v = swapInt16(x);
        const auto bits = static_cast<std::uint16_t>(x);
        EXPECT_EQ(storedBytes(&v, 2), (std::vector<unsigned char>{static_cast<unsigned char>(bits >> 8),
                                                                  static_cast<unsigned char>(bits & 0xFF)})) << x;
    }
}

namespace {

// The encoder truncates 100 x value exactly as extended precision does,
// also for products that land on, or a hair beside, an integer.
TEST(BigEndian, ScaleToInt32MatchesExtendedTruncation) {
    std::vector<double> values;
    for (int k = -3000; k <= 3000; ++k) {
        const double base = k / 100.0;  // often a hair below or above k/100
        values.push_back(base);
        values.push_back(std::nextafter(base, 1e9));
        values.push_back(std::nextafter(base, -1e9));
        values.push_back(k / 7.0);
        values.push_back(k * 123456.789 / 3.0);
    }
    values.push_back(4.5e13);     // beyond 2^52 after the product
    values.push_back(-9.2e16);
    values.push_back(1e300);
    std::vector<unsigned char> out(4 * values.size());
    scaleToInt32BE(values.data(), out.data(), static_cast<std::int64_t>(values.size()));
    for (size_t i = 0; i < values.size(); ++i) {
        const long double t = std::trunc(static_cast<long double>(values[i]) * 100.0L);
        long double low = std::fmod(t, 0x1p32L);
        if (low < 0) low += 0x1p32L;
        const auto expected = static_cast<std::uint32_t>(low);
        const std::uint32_t got = (std::uint32_t(out[4 * i]) << 24) | (std::uint32_t(out[4 * i + 1]) << 16) |
                                  (std::uint32_t(out[4 * i + 2]) << 8) | std::uint32_t(out[4 * i + 3]);
        ASSERT_EQ(got, expected) << values[i];
    }
}

}  // namespace

namespace {

// Extend adds room written in place, after what the stream holds.
TEST(MemStream, ExtendAddsRoomAfterTheContent) {
    TMemStream s;
    EXPECT_EQ(s.Extend(0), nullptr);
    EXPECT_EQ(s.Extend(-4), nullptr);
    EXPECT_EQ(s.Size(), 0);
    unsigned char* first = s.Extend(100);
    ASSERT_NE(first, nullptr);
    std::memset(first, 0xAB, 100);
    EXPECT_EQ(s.Size(), 100);
    unsigned char* second = s.Extend(150);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second, s.Data() + 100);
    EXPECT_EQ(s.Size(), 250);
    EXPECT_EQ(s.Data()[99], 0xAB);
}

}  // namespace
