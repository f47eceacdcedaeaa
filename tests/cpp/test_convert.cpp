// The strided copies under the readers and writers: element conversions,
// byte orders, strides, refusals. The writers only ever fill float32 arrays
// in the module, so their integer conversions are pinned here.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "edge/convert.h"

namespace {

const std::int64_t one[4] = {1, 1, 1, 1};

// A 1-D block of n elements, `stride` bytes apart.
struct line {
    std::int64_t d[4], s[4];
    line(std::int64_t n, std::int64_t stride) : d{1, 1, 1, n}, s{0, 0, 0, stride} {}
};

template <class T> std::vector<T> written(const std::vector<float> &src, bool swapped = false)
{
    std::vector<T> dst(src.size());
    const int type = std::is_same_v<T, std::uint8_t> ? NPY_UBYTE
                     : std::is_same_v<T, std::int16_t> ? NPY_SHORT
                     : std::is_same_v<T, long>         ? NPY_LONG
                     : std::is_same_v<T, float>        ? NPY_FLOAT
                                                       : NPY_DOUBLE;
    line l(std::int64_t(src.size()), sizeof(T));
    EXPECT_EQ(write_block(src.data(), reinterpret_cast<char *>(dst.data()), l.d, l.s, type, swapped), 0);
    return dst;
}

const float nan = std::numeric_limits<float>::quiet_NaN();
const float inf = std::numeric_limits<float>::infinity();

TEST(Writer, SmallIntegersKeepTheLowBitsOfA32BitTruncation)
{
    EXPECT_EQ(written<std::int16_t>({1.9f, -1.9f, 32768.0f, 65537.5f, nan, 3e9f, -inf}),
              (std::vector<std::int16_t>{1, -1, -32768, 1, 0, 0, 0}));
    EXPECT_EQ(written<std::uint8_t>({300.5f, -1.0f, 255.9f, nan, 1e20f}),
              (std::vector<std::uint8_t>{44, 255, 255, 0, 0}));
}

TEST(Writer, LongTruncatesToItselfAndOutOfRangeGivesItsMinimum)
{
    EXPECT_EQ(written<long>({-1.5f, 16777217.0f, nan, inf, -1e30f, 1e30f}),
              (std::vector<long>{-1, 16777216, LONG_MIN, LONG_MIN, LONG_MIN, LONG_MIN}));
}

TEST(Writer, FloatsCopyBitsAndDoublesWiden)
{
    std::uint32_t payload = 0x7fc01234u, negzero = 0x80000000u;
    std::vector<float> src(3);
    std::memcpy(&src[0], &payload, 4);
    std::memcpy(&src[1], &negzero, 4);
    src[2] = 0.1f;
    auto f = written<float>(src);
    EXPECT_EQ(std::memcmp(f.data(), src.data(), 12), 0);
    auto d = written<double>(src);
    EXPECT_TRUE(std::isnan(d[0]));
    EXPECT_TRUE(std::signbit(d[1]));
    EXPECT_EQ(d[2], double(0.1f));
}

TEST(Writer, SwappedOrderStoresBigEndian)
{
    auto v = written<std::int16_t>({258.0f}, true);
    const auto *b = reinterpret_cast<const unsigned char *>(v.data());
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(b[1], 2);
}

TEST(Writer, RefusedTypeWritesNothing)
{
    const float src[2] = {1, 2};
    std::int32_t dst[2] = {7, 7};
    line l(2, 4);
    EXPECT_EQ(write_block(src, reinterpret_cast<char *>(dst), l.d, l.s, NPY_INT, false), 1);
    EXPECT_EQ(write_block(src, reinterpret_cast<char *>(dst), l.d, l.s, NPY_LONGLONG, false), 1);
    EXPECT_EQ(dst[0], 7);
    EXPECT_EQ(dst[1], 7);
    line empty(0, 4);
    EXPECT_EQ(write_block(src, reinterpret_cast<char *>(dst), empty.d, empty.s, NPY_INT, false), 0);
}

TEST(Reader, ValuesAndRounding)
{
    const long wide[2] = {(1L << 24) + 1, (1L << 24) + 3};
    const double dbl[3] = {1e39, -1e39, 0.1};
    float out[3];
    line l2(2, sizeof(long)), l3(3, sizeof(double));
    ASSERT_EQ(read_block(reinterpret_cast<const char *>(wide), l2.d, l2.s, NPY_LONG, false, false, out), 0);
    EXPECT_EQ(out[0], 16777216.0f);
    EXPECT_EQ(out[1], 16777220.0f);
    ASSERT_EQ(read_block(reinterpret_cast<const char *>(dbl), l3.d, l3.s, NPY_DOUBLE, false, false, out), 0);
    EXPECT_EQ(out[0], inf);
    EXPECT_EQ(out[1], -inf);
    EXPECT_EQ(out[2], 0.1f);
}

TEST(Reader, LongLongOnlyForVectors)
{
    const long long v[3] = {1, -2, 3};
    float out[3] = {9, 9, 9};
    line l(3, 8);
    EXPECT_EQ(read_block(reinterpret_cast<const char *>(v), l.d, l.s, NPY_LONGLONG, false, false, out), 1);
    EXPECT_EQ(out[0], 9.0f);  // refused before anything is stored
    EXPECT_EQ(read_block(reinterpret_cast<const char *>(v), l.d, l.s, NPY_LONGLONG, false, true, out), 0);
    EXPECT_EQ(out[1], -2.0f);
}

TEST(Reader, StridesAndByteOrder)
{
    // 2 x 3 big-endian int16 at odd addresses, read through negative strides.
    unsigned char raw[1 + 12];
    for (int k = 0; k < 6; ++k) {
        raw[1 + 2 * k] = 0;
        raw[2 + 2 * k] = static_cast<unsigned char>(k + 1);
    }
    const std::int64_t d[4] = {1, 1, 2, 3}, s[4] = {0, 0, -6, -2};
    float out[6];
    ASSERT_EQ(read_block(reinterpret_cast<const char *>(raw + 1 + 10), d, s, NPY_SHORT, true, false, out), 0);
    EXPECT_EQ(std::vector<float>(out, out + 6), (std::vector<float>{6, 5, 4, 3, 2, 1}));
}

TEST(Reader, EmptyBlocksNeverFailOnType)
{
    const std::int64_t d[4] = {1, 0, 5, 5}, s[4] = {0, 4, 4, 4};
    const bool flag = true;
    float out = 9;
    EXPECT_EQ(read_block(nullptr, d, s, NPY_BOOL, false, false, nullptr), 0);
    EXPECT_EQ(read_block(reinterpret_cast<const char *>(&flag), one, one, NPY_BOOL, false, false, &out), 1);
    EXPECT_EQ(out, 9.0f);
}

TEST(Count, LimitsAndZeroExtents)
{
    const std::int64_t big = std::int64_t(1) << 31;
    const std::int64_t a[4] = {1, 1, 1, big - 1}, b[4] = {1, 1, 1, big}, c[4] = {big, 0, 7, 7},
                       e[4] = {1, 1 << 10, 1 << 10, 1 << 9};
    EXPECT_EQ(block_count(a, image3d_limit), big - 1);
    EXPECT_EQ(block_count(b, image3d_limit), -1);
    EXPECT_EQ(block_count(c, image3d_limit), 0);
    EXPECT_EQ(block_count(e, image4d_limit), -1);
    EXPECT_EQ(block_count(e, image3d_limit), std::int64_t(1) << 29);
}

} // namespace
