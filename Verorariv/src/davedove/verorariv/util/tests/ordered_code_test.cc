#include "davedove/verorariv/util/ordered_code.h"

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace {

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

std::string EncodeString(absl::string_view s) {
  std::string out;
  OrderedCode::WriteString(&out, s);
  return out;
}

std::string EncodeSigned(int64_t x) {
  std::string out;
  OrderedCode::WriteSignedNumIncreasing(&out, x);
  return out;
}

std::string EncodeUnsigned(uint64_t x) {
  std::string out;
  OrderedCode::WriteNumIncreasing(&out, x);
  return out;
}

int64_t DecodeSigned(const std::string& encoded) {
  absl::string_view src(encoded);
  int64_t value = 0;
  EXPECT_TRUE(OrderedCode::ReadSignedNumIncreasing(&src, &value));
  EXPECT_TRUE(src.empty());
  return value;
}

// A reader that fails must leave the input where it was.
void ExpectSignedReadFails(const std::string& input) {
  absl::string_view src(input);
  int64_t value = 12345;
  EXPECT_FALSE(OrderedCode::ReadSignedNumIncreasing(&src, &value));
  EXPECT_EQ(src.data(), input.data());
  EXPECT_EQ(src.size(), input.size());
  EXPECT_EQ(value, 12345);
}

TEST(OrderedCodeTest, StringEncodings) {
  EXPECT_EQ(EncodeString(""), Bytes({0x00, 0x01}));
  EXPECT_EQ(EncodeString(Bytes({0x00})), Bytes({0x00, 0xFF, 0x00, 0x01}));
  EXPECT_EQ(EncodeString(Bytes({0xFF})), Bytes({0xFF, 0x00, 0x00, 0x01}));
  EXPECT_EQ(EncodeString("abc"), Bytes({'a', 'b', 'c', 0x00, 0x01}));
  // Long runs go through the word-wise scan; specials at every offset within a word.
  for (size_t pos = 0; pos < 20; pos++) {
    for (int special : {0x00, 0xFF}) {
      std::string raw(20, 'q');
      raw[pos] = static_cast<char>(special);
      std::string expected = raw.substr(0, pos) + Bytes({special, special == 0 ? 0xFF : 0x00}) +
                             raw.substr(pos + 1) + Bytes({0x00, 0x01});
      EXPECT_EQ(EncodeString(raw), expected) << pos;
    }
  }
  EXPECT_LT(EncodeString("a"), EncodeString(Bytes({'a', 0x00})));
  EXPECT_LT(EncodeString(Bytes({'a', 0x00})), EncodeString("aa"));
}

TEST(OrderedCodeTest, StringRoundTripsAndComponents) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 500; i++) {
    std::string raw(rng() % 40, '\0');
    for (char& c : raw) c = static_cast<char>(std::vector<int>{0x00, 0xFF, 0x01, 'x', 0x80}[rng() % 5]);
    std::string encoded = EncodeString(raw);
    OrderedCode::WriteSignedNumIncreasing(&encoded, -5);
    absl::string_view src(encoded);
    std::string decoded;
    ASSERT_TRUE(OrderedCode::ReadString(&src, &decoded));
    EXPECT_EQ(decoded, raw);
    int64_t n = 0;
    ASSERT_TRUE(OrderedCode::ReadSignedNumIncreasing(&src, &n));
    EXPECT_EQ(n, -5);
    EXPECT_TRUE(src.empty());
  }
}

TEST(OrderedCodeTest, StringReadFailuresLeaveInputAlone) {
  for (const std::string& input :
       {Bytes({0x00, 0x02}), Bytes({0xFF, 0x01, 0x00, 0x01}), Bytes({0x61, 0x00}), Bytes({}),
        Bytes({0x61}), Bytes({0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69})}) {
    absl::string_view src(input);
    std::string result = "kept";
    EXPECT_FALSE(OrderedCode::ReadString(&src, &result));
    EXPECT_EQ(src.size(), input.size());
    EXPECT_EQ(result, "kept");
  }

  std::string input = Bytes({0x61, 0x00, 0x01, 0x62});
  absl::string_view src(input);
  std::string result;
  ASSERT_TRUE(OrderedCode::ReadString(&src, &result));
  EXPECT_EQ(result, "a");
  EXPECT_EQ(src, "b");

  // Skipping without an output.
  src = input;
  ASSERT_TRUE(OrderedCode::ReadString(&src, nullptr));
  EXPECT_EQ(src, "b");
}

TEST(OrderedCodeTest, SignedEncodings) {
  EXPECT_EQ(EncodeSigned(0), Bytes({0x80}));
  EXPECT_EQ(EncodeSigned(-1), Bytes({0x7F}));
  EXPECT_EQ(EncodeSigned(63), Bytes({0xBF}));
  EXPECT_EQ(EncodeSigned(-64), Bytes({0x40}));
  EXPECT_EQ(EncodeSigned(64), Bytes({0xC0, 0x40}));
  EXPECT_EQ(EncodeSigned(-65), Bytes({0x3F, 0xBF}));
  EXPECT_EQ(EncodeSigned(INT64_MAX),
            Bytes({0xFF, 0xC0, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(EncodeSigned(INT64_MIN),
            Bytes({0x00, 0x3F, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));

  // Lengths step up every seven bits of magnitude.
  for (int bits = 0; bits < 63; bits++) {
    int64_t positive = (int64_t{1} << bits);
    EXPECT_EQ(EncodeSigned(positive).size(), static_cast<size_t>((bits + 1) / 7 + 1)) << bits;
    EXPECT_EQ(EncodeSigned(~positive).size(), static_cast<size_t>((bits + 1) / 7 + 1)) << bits;
  }

  for (int64_t x : {int64_t{0}, int64_t{-1}, int64_t{63}, int64_t{-64}, int64_t{64}, int64_t{-65},
                    INT64_MAX, INT64_MIN, int64_t{1} << 55, -(int64_t{1} << 55), int64_t{1} << 56,
                    -(int64_t{1} << 56) - 1, int64_t{1} << 62, -(int64_t{1} << 62) - 1}) {
    EXPECT_EQ(DecodeSigned(EncodeSigned(x)), x);
  }
}

TEST(OrderedCodeTest, SignedOrderMatchesNumericOrder) {
  std::mt19937_64 rng(42);
  std::vector<int64_t> values = {INT64_MIN, INT64_MAX, 0, -1, 1, 63, 64, -64, -65};
  for (int i = 0; i < 3000; i++) {
    // Spread magnitudes over every length.
    int shift = static_cast<int>(rng() % 64);
    values.push_back(static_cast<int64_t>(rng()) >> shift);
  }
  std::vector<std::string> encoded;
  for (int64_t v : values) {
    encoded.push_back(EncodeSigned(v));
    ASSERT_EQ(DecodeSigned(encoded.back()), v);
  }
  for (size_t i = 0; i < values.size(); i++) {
    size_t j = (i * 7919 + 13) % values.size();
    EXPECT_EQ(values[i] < values[j], encoded[i] < encoded[j]) << values[i] << " " << values[j];
    EXPECT_EQ(values[i] == values[j], encoded[i] == encoded[j]);
    if (i + 1 < values.size()) {
      EXPECT_EQ(values[i] < values[i + 1], encoded[i] < encoded[i + 1]);
    }
  }
}

TEST(OrderedCodeTest, SignedReadFailures) {
  ExpectSignedReadFails(Bytes({}));
  ExpectSignedReadFails(Bytes({0xC0}));
  ExpectSignedReadFails(Bytes({0xFF, 1, 2, 3, 4, 5, 6}));
  ExpectSignedReadFails(Bytes({0xFF, 0xC1, 0, 0, 0, 0, 0, 0, 0, 0}));
  ExpectSignedReadFails(Bytes({0xFF, 0xC0, 0x80, 0, 0, 0, 0, 0, 0, 0}));
  ExpectSignedReadFails(Bytes({0xFF, 0x80, 0x80, 0, 0, 0, 0, 0}));  // nine needed
  ExpectSignedReadFails(Bytes({0x00, 0x3F, 0x80, 0, 0, 0, 0, 0, 0}));
}

TEST(OrderedCodeTest, TryReadRejectsNonCanonicalNumbers) {
  // 5 written in two bytes instead of one.
  std::string long_five = Bytes({0xC0, 0x05});
  absl::string_view src(long_five);
  int64_t value = 0;
  EXPECT_FALSE(OrderedCode::TryReadSignedNumIncreasing(&src, &value));
  EXPECT_EQ(src.size(), 2u);

  std::string good = EncodeSigned(-123456789);
  src = good;
  EXPECT_TRUE(OrderedCode::TryReadSignedNumIncreasing(&src, &value));
  EXPECT_EQ(value, -123456789);
  EXPECT_TRUE(src.empty());

  std::string leading_zero = Bytes({0x02, 0x00, 0x05});
  src = leading_zero;
  uint64_t unsigned_value = 0;
  EXPECT_FALSE(OrderedCode::TryReadNumIncreasing(&src, &unsigned_value));
  EXPECT_EQ(src.size(), 3u);

  std::string good_unsigned = EncodeUnsigned(70000);
  src = good_unsigned;
  EXPECT_TRUE(OrderedCode::TryReadNumIncreasing(&src, &unsigned_value));
  EXPECT_EQ(unsigned_value, 70000u);
}

TEST(OrderedCodeTest, UnsignedEncodingsAndOrder) {
  EXPECT_EQ(EncodeUnsigned(0), Bytes({0x00}));
  EXPECT_EQ(EncodeUnsigned(255), Bytes({0x01, 0xFF}));
  EXPECT_EQ(EncodeUnsigned(256), Bytes({0x02, 0x01, 0x00}));
  EXPECT_EQ(EncodeUnsigned(UINT64_MAX), Bytes({0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));

  std::mt19937_64 rng(3);
  std::vector<uint64_t> values = {0, 1, 255, 256, UINT64_MAX};
  for (int i = 0; i < 2000; i++) values.push_back(rng() >> (rng() % 64));
  for (size_t i = 0; i < values.size(); i++) {
    std::string a = EncodeUnsigned(values[i]);
    absl::string_view src(a);
    uint64_t decoded = 0;
    ASSERT_TRUE(OrderedCode::ReadNumIncreasing(&src, &decoded));
    EXPECT_EQ(decoded, values[i]);
    EXPECT_TRUE(src.empty());
    size_t j = (i * 31 + 7) % values.size();
    EXPECT_EQ(values[i] < values[j], a < EncodeUnsigned(values[j]));
  }

  for (const std::string& input : {Bytes({}), Bytes({0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9}),
                                   Bytes({0x02, 0x01}), Bytes({0x01})}) {
    absl::string_view src(input);
    uint64_t value = 99;
    EXPECT_FALSE(OrderedCode::ReadNumIncreasing(&src, &value));
    EXPECT_EQ(src.size(), input.size());
    EXPECT_EQ(value, 99u);
  }
}

TEST(OrderedCodeTest, InfinityAndTrailingString) {
  std::string encoded;
  OrderedCode::WriteInfinity(&encoded);
  EXPECT_EQ(encoded, Bytes({0xFF, 0xFF}));
  EXPECT_GT(encoded, EncodeString(std::string(5, '\xff')));
  OrderedCode::WriteString(&encoded, "next");
  OrderedCode::WriteTrailingString(&encoded, Bytes({0x00, 0xFF, 'z'}));

  absl::string_view src(encoded);
  std::string result = "before";
  bool inf = false;
  ASSERT_TRUE(OrderedCode::ReadStringOrInfinity(&src, &result, &inf));
  EXPECT_TRUE(inf);
  EXPECT_EQ(result, "before");
  result.clear();
  ASSERT_TRUE(OrderedCode::ReadStringOrInfinity(&src, &result, &inf));
  EXPECT_FALSE(inf);
  EXPECT_EQ(result, "next");
  EXPECT_FALSE(OrderedCode::ReadInfinity(&src));
  std::string trailing;
  EXPECT_TRUE(OrderedCode::ReadTrailingString(&src, &trailing));
  EXPECT_EQ(trailing, Bytes({0x00, 0xFF, 'z'}));
  EXPECT_TRUE(src.empty());

  std::string bad = Bytes({0xFF, 0x01});
  src = bad;
  inf = true;
  EXPECT_FALSE(OrderedCode::ReadStringOrInfinity(&src, &result, &inf));
  EXPECT_EQ(src.size(), 2u);
}

}  // namespace
}  // namespace util
}  // namespace verorariv
}  // namespace davedove
