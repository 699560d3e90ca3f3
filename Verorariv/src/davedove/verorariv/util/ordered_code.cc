#include "davedove/verorariv/util/ordered_code.h"

#include <cstring>

#include "davedove/verorariv/util/hard_assert.h"

namespace davedove {
namespace verorariv {
namespace util {
namespace {

constexpr unsigned char kEscape1 = 0x00;
constexpr unsigned char kNullCharacter = 0xFF;  // 0x00 as data: kEscape1 kNullCharacter
constexpr unsigned char kSeparator = 0x01;      // end of a string: kEscape1 kSeparator
constexpr unsigned char kEscape2 = 0xFF;
constexpr unsigned char kInfinity = 0xFF;       // kEscape2 kInfinity
constexpr unsigned char kFFCharacter = 0x00;    // 0xFF as data: kEscape2 kFFCharacter

constexpr int kMaxSigned64Length = 10;

// Header bits of a signed number by encoded length: first and second byte.
constexpr unsigned char kLengthToHeaderBits[kMaxSigned64Length + 1][2] = {
    {0x00, 0x00}, {0x80, 0x00}, {0xC0, 0x00}, {0xE0, 0x00}, {0xF0, 0x00}, {0xF8, 0x00},
    {0xFC, 0x00}, {0xFE, 0x00}, {0xFF, 0x00}, {0xFF, 0x80}, {0xFF, 0xC0}};

// The same bits over the last min(n, 8) bytes read as one big-endian number.
constexpr uint64_t kLengthToMask[kMaxSigned64Length + 1] = {
    0,
    UINT64_C(0x80),
    UINT64_C(0xC0) << 8,
    UINT64_C(0xE0) << 16,
    UINT64_C(0xF0) << 24,
    UINT64_C(0xF8) << 32,
    UINT64_C(0xFC) << 40,
    UINT64_C(0xFE) << 48,
    UINT64_C(0xFF) << 56,
    UINT64_C(0x80) << 56,
    0};

// Encoded length of a signed number by the number of significant bits of its magnitude.
constexpr int8_t kBitsToLength[64] = {
    1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 4,
    4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6, 6, 7, 7,
    7, 7, 7, 7, 7, 8, 8, 8, 8, 8, 8, 8, 9, 9, 9, 9, 9, 9, 9, 10};

inline uint64_t ToBigEndian(uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return v;
#else
  return __builtin_bswap64(v);
#endif
}

inline uint64_t LoadBigEndian64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return ToBigEndian(v);
}

inline void StoreBigEndian64(unsigned char* p, uint64_t v) {
  v = ToBigEndian(v);
  std::memcpy(p, &v, sizeof v);
}

inline int SignificantBits(uint64_t v) { return v == 0 ? 0 : 64 - __builtin_clzll(v); }

inline int SignedEncodingLength(int64_t n) {
  uint64_t magnitude = static_cast<uint64_t>(n < 0 ? ~n : n);
  return kBitsToLength[SignificantBits(magnitude)];
}

inline bool IsSpecialByte(unsigned char c) { return static_cast<unsigned char>(c + 1) < 2; }

// Whether any of the eight bytes may be 0x00 or 0xFF. Never misses one: the lowest-order special
// byte always survives both subtractions without a borrow from below.
inline bool MayHaveSpecialByte(uint64_t word) {
  constexpr uint64_t kOnes = UINT64_C(0x0101010101010101);
  constexpr uint64_t kFEs = UINT64_C(0xFEFEFEFEFEFEFEFE);
  constexpr uint64_t kHighBits = UINT64_C(0x8080808080808080);
  return ((word - kOnes) & (kFEs - word) & kHighBits) != 0;
}

// The first 0x00 or 0xFF byte in [start, limit), or limit.
const char* SkipToNextSpecialByte(const char* start, const char* limit) {
  const char* p = start;
  while (limit - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if (MayHaveSpecialByte(word)) {
      for (int i = 0; i < 8; i++) {
        if (IsSpecialByte(static_cast<unsigned char>(p[i]))) return p + i;
      }
    }
    p += 8;
  }
  while (p < limit && !IsSpecialByte(static_cast<unsigned char>(*p))) ++p;
  return p;
}

void AppendByte(std::string* dest, unsigned char c) { dest->push_back(static_cast<char>(c)); }

// Decodes a signed number; with `fatal_if_noncanonical` false a non-canonical encoding fails.
bool ReadSignedNum(absl::string_view* src, int64_t* result, bool fatal_if_noncanonical) {
  if (src->empty()) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(src->data());
  const unsigned char first = bytes[0];
  const bool non_negative = first >= 0x80;
  const unsigned char xor_mask = non_negative ? 0x00 : 0xFF;
  const unsigned char c = first ^ xor_mask;

  size_t len;
  uint64_t x;
  if (c != 0xFF) {
    len = static_cast<size_t>(__builtin_clz(static_cast<unsigned>(static_cast<unsigned char>(~c))) -
                              (8 * (sizeof(unsigned) - 1)));
    if (src->size() < len) return false;
    x = non_negative ? 0 : ~UINT64_C(0);
    for (size_t i = 0; i < len; i++) x = (x << 8) | bytes[i];
  } else {
    if (src->size() < 8) return false;
    const unsigned char d = bytes[1] ^ xor_mask;
    if (d < 0x80) {
      len = 8;
    } else if (d < 0xC0) {
      len = 9;
    } else if (d == 0xC0 && src->size() >= 3 && (bytes[2] ^ xor_mask) < 0x80) {
      len = 10;
    } else {
      return false;
    }
    if (src->size() < len) return false;
    x = LoadBigEndian64(bytes + len - 8);
  }
  x ^= kLengthToMask[len];

  if (fatal_if_noncanonical) {
    HARD_ASSERT(len == static_cast<size_t>( SignedEncodingLength(static_cast<int64_t>(x))));
  } else if (len != static_cast<size_t>(SignedEncodingLength(static_cast<int64_t>(x)))) {
    return false;
  }

  if (result) *result = static_cast<int64_t>(x);
  src->remove_prefix(len);
  return true;
}

bool ReadNum(absl::string_view* src, uint64_t* result, bool fatal_if_noncanonical) {
  if (src->empty()) return false;
  const size_t len = static_cast<unsigned char>((*src)[0]);
  if (fatal_if_noncanonical) {
    HARD_ASSERT(0 == len || src->size() == 1 || (*src)[1] != '\0');
  } else if (len != 0 && src->size() > 1 && (*src)[1] == '\0') {
    return false;
  }
  if (len > 8 || src->size() < len + 1) return false;

  uint64_t value = 0;
  for (size_t i = 0; i < len; i++) {
    value = (value << 8) | static_cast<unsigned char>((*src)[1 + i]);
  }
  if (result) *result = value;
  src->remove_prefix(len + 1);
  return true;
}

}  // namespace

void OrderedCode::WriteString(std::string* dest, absl::string_view s) {
  const char* p = s.data();
  const char* end = p + s.size();
  while (p != end) {
    const char* special = SkipToNextSpecialByte(p, end);
    dest->append(p, static_cast<size_t>(special - p));
    if (special == end) break;
    if (static_cast<unsigned char>(*special) == kEscape1) {
      AppendByte(dest, kEscape1);
      AppendByte(dest, kNullCharacter);
    } else {
      AppendByte(dest, kEscape2);
      AppendByte(dest, kFFCharacter);
    }
    p = special + 1;
  }
  AppendByte(dest, kEscape1);
  AppendByte(dest, kSeparator);
}

void OrderedCode::WriteNumIncreasing(std::string* dest, uint64_t num) {
  unsigned char buf[9];
  StoreBigEndian64(buf + 1, num);
  const int len = (SignificantBits(num) + 7) / 8;
  unsigned char* start = buf + 9 - len - 1;
  start[0] = static_cast<unsigned char>(len);
  dest->append(reinterpret_cast<const char*>(start), static_cast<size_t>(len + 1));
}

void OrderedCode::WriteSignedNumIncreasing(std::string* dest, int64_t num) {
  if (num >= -64 && num < 64) {
    AppendByte(dest, static_cast<unsigned char>(num + 0x80));
    return;
  }
  const int len = SignedEncodingLength(num);
  unsigned char buf[kMaxSigned64Length];
  const unsigned char fill = num < 0 ? 0xFF : 0x00;
  buf[0] = fill;
  buf[1] = fill;
  StoreBigEndian64(buf + 2, static_cast<uint64_t>(num));
  unsigned char* begin = buf + kMaxSigned64Length - len;
  begin[0] ^= kLengthToHeaderBits[len][0];
  begin[1] ^= kLengthToHeaderBits[len][1];
  dest->append(reinterpret_cast<const char*>(begin), static_cast<size_t>(len));
}

void OrderedCode::WriteInfinity(std::string* dest) {
  AppendByte(dest, kEscape2);
  AppendByte(dest, kInfinity);
}

void OrderedCode::WriteTrailingString(std::string* dest, absl::string_view str) {
  dest->append(str.data(), str.size());
}

bool OrderedCode::ReadString(absl::string_view* src, std::string* result) {
  // A special byte needs a second byte after it, so the scan stops one byte before the end.
  if (src->size() < 2) return false;
  const char* start = src->data();
  const char* limit = start + src->size() - 1;
  const size_t original_size = result ? result->size() : 0;
  auto fail = [&] {
    if (result) result->resize(original_size);
    return false;
  };

  const char* copy_start = start;
  while (true) {
    const char* p = SkipToNextSpecialByte(copy_start, limit);
    if (p >= limit) return fail();
    if (result) result->append(copy_start, static_cast<size_t>(p - copy_start));

    const auto c = static_cast<unsigned char>(p[0]);
    const auto next = static_cast<unsigned char>(p[1]);
    if (c == kEscape1) {
      if (next == kNullCharacter) {
        if (result) AppendByte(result, 0x00);
      } else if (next == kSeparator) {
        src->remove_prefix(static_cast<size_t>(p + 2 - start));
        return true;
      } else {
        return fail();
      }
    } else {
      if (next != kFFCharacter) return fail();
      if (result) AppendByte(result, 0xFF);
    }
    copy_start = p + 2;
  }
}

bool OrderedCode::ReadNumIncreasing(absl::string_view* src, uint64_t* result) {
  return ReadNum(src, result, true);
}

bool OrderedCode::ReadSignedNumIncreasing(absl::string_view* src, int64_t* result) {
  return ReadSignedNum(src, result, true);
}

bool OrderedCode::TryReadNumIncreasing(absl::string_view* src, uint64_t* result) {
  return ReadNum(src, result, false);
}

bool OrderedCode::TryReadSignedNumIncreasing(absl::string_view* src, int64_t* result) {
  return ReadSignedNum(src, result, false);
}

bool OrderedCode::ReadInfinity(absl::string_view* src) {
  if (src->size() >= 2 && static_cast<unsigned char>((*src)[0]) == kEscape2 &&
      static_cast<unsigned char>((*src)[1]) == kInfinity) {
    src->remove_prefix(2);
    return true;
  }
  return false;
}

bool OrderedCode::ReadStringOrInfinity(absl::string_view* src, std::string* result, bool* inf) {
  if (ReadInfinity(src)) {
    if (inf) *inf = true;
    return true;
  }
  if (!ReadString(src, result)) return false;
  if (inf) *inf = false;
  return true;
}

bool OrderedCode::ReadTrailingString(absl::string_view* src, std::string* result) {
  if (result) result->assign(src->data(), src->size());
  src->remove_prefix(src->size());
  return true;
}

}  // namespace util
}  // namespace verorariv
}  // namespace davedove
