#include "common/checked.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace {

using tessarin::checked_add;
using tessarin::checked_mul;
namespace portable = tessarin::portable;

// Values where overflow starts or stops: the ends of the type, around zero,
// and around the square root and the halves and thirds of the largest value.
template <class T>
std::vector<T> edge_values() {
    using limits = std::numeric_limits<T>;
    constexpr int bits = limits::digits;
    const T root = static_cast<T>(T{1} << (bits / 2));
    std::vector<T> values = {limits::max(), static_cast<T>(limits::max() - 1), static_cast<T>(limits::max() / 2),
                             static_cast<T>(limits::max() / 2 + 1), static_cast<T>(limits::max() / 3),
                             static_cast<T>(limits::max() / 3 + 1), root, static_cast<T>(root - 1),
                             static_cast<T>(root + 1), 0, 1, 2, 3};
    if constexpr (limits::is_signed) {
        for (T value : {limits::min(), static_cast<T>(limits::min() + 1), static_cast<T>(limits::min() / 2),
                        static_cast<T>(limits::min() / 2 - 1), static_cast<T>(limits::min() / 3),
                        static_cast<T>(limits::min() / 3 - 1), static_cast<T>(-root), static_cast<T>(1 - root),
                        static_cast<T>(-1 - root), T{-1}, T{-2}, T{-3}}) {
            values.push_back(value);
        }
    }
    return values;
}

template <class T>
class CheckedArithmetic : public testing::Test {};

using Types = testing::Types<int8_t, uint8_t, int16_t, uint16_t, int32_t, uint32_t, int64_t, uint64_t>;
TYPED_TEST_SUITE(CheckedArithmetic, Types);

// A result that fits is exact, one that does not leaves the output alone;
// the portable forms agree with checked_* (the compiler's builtins where it
// has them) on every pair of edge values.
TYPED_TEST(CheckedArithmetic, PortableFormsAgreeOnEdgeValues) {
    using T = TypeParam;
    constexpr T untouched = 42;
    for (T a : edge_values<T>()) {
        for (T b : edge_values<T>()) {
            T product = untouched, portable_product = untouched;
            const bool fits = checked_mul(a, b, product);
            ASSERT_EQ(portable::mul(a, b, portable_product), fits) << +a << " * " << +b;
            ASSERT_EQ(portable_product, product) << +a << " * " << +b;
            if (!fits) {
                EXPECT_EQ(product, untouched);
            } else if (b != 0) {
                EXPECT_EQ(static_cast<T>(product / b), a) << +a << " * " << +b;
            }

            T sum = untouched, portable_sum = untouched;
            const bool sum_fits = checked_add(a, b, sum);
            ASSERT_EQ(portable::add(a, b, portable_sum), sum_fits) << +a << " + " << +b;
            ASSERT_EQ(portable_sum, sum) << +a << " + " << +b;
            if (sum_fits) {
                EXPECT_EQ(static_cast<T>(sum - b), a) << +a << " + " << +b;
            } else {
                EXPECT_EQ(sum, untouched);
            }
        }
    }
}

// Every pair of 8-bit operands against exact int arithmetic.
template <class T>
void check_every_pair() {
    using limits = std::numeric_limits<T>;
    for (int a = limits::min(); a <= limits::max(); ++a) {
        for (int b = limits::min(); b <= limits::max(); ++b) {
            const int exact_product = a * b, exact_sum = a + b;
            const auto ta = static_cast<T>(a), tb = static_cast<T>(b);
            T product = 0, sum = 0;
            const bool product_fits = exact_product >= limits::min() && exact_product <= limits::max();
            const bool sum_fits = exact_sum >= limits::min() && exact_sum <= limits::max();
            ASSERT_EQ(checked_mul(ta, tb, product), product_fits) << a << " * " << b;
            ASSERT_EQ(portable::mul(ta, tb, product), product_fits) << a << " * " << b;
            if (product_fits) {
                ASSERT_EQ(product, exact_product);
            }
            ASSERT_EQ(checked_add(ta, tb, sum), sum_fits) << a << " + " << b;
            ASSERT_EQ(portable::add(ta, tb, sum), sum_fits) << a << " + " << b;
            if (sum_fits) {
                ASSERT_EQ(sum, exact_sum);
            }
        }
    }
}

TEST(CheckedArithmeticBytes, EveryPairMatchesExactArithmetic) {
    check_every_pair<int8_t>();
    check_every_pair<uint8_t>();
}

// The sizes the module computes: a 32-bit width times a 32-bit height times
// 3 bytes in 64 bits, and a row count times a row length in size_t.
TEST(CheckedArithmeticSizes, ImageByteCounts) {
    constexpr int64_t most32 = std::numeric_limits<int32_t>::max();
    int64_t pixels = 0, bytes = 0;
    ASSERT_TRUE(checked_mul(most32, most32 / 2, pixels));
    ASSERT_TRUE(checked_mul(pixels, int64_t{3}, bytes));
    EXPECT_EQ(bytes, 3 * most32 * (most32 / 2));
    // The largest width and height give more bytes than 64 bits hold.
    ASSERT_TRUE(checked_mul(most32, most32, pixels));
    EXPECT_FALSE(checked_mul(pixels, int64_t{3}, bytes));
    EXPECT_FALSE(portable::mul(pixels, int64_t{3}, bytes));
    int64_t negative = 0;
    ASSERT_TRUE(checked_mul(-most32 - 1, most32, negative));
    EXPECT_LT(negative, 0);
    // 2^62 * 3 no longer fits; a sign flip must not pass for a result.
    int64_t over = 7;
    EXPECT_FALSE(checked_mul(int64_t{1} << 62, int64_t{3}, over));
    EXPECT_FALSE(portable::mul(int64_t{1} << 62, int64_t{3}, over));
    EXPECT_EQ(over, 7);
    EXPECT_FALSE(checked_mul(std::numeric_limits<int64_t>::min(), int64_t{-1}, over));
    EXPECT_FALSE(portable::mul(std::numeric_limits<int64_t>::min(), int64_t{-1}, over));

    constexpr size_t most = std::numeric_limits<size_t>::max();
    size_t raw = 0;
    EXPECT_TRUE(checked_mul(most / 3, size_t{3}, raw));
    EXPECT_FALSE(checked_mul(most / 3 + 1, size_t{3}, raw));
    EXPECT_FALSE(portable::mul(most / 3 + 1, size_t{3}, raw));
}

}  // namespace
