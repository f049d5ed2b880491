#include "BfCrypt.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char* kSettingsKey = "QUERNIX";

// --- The initial table --------------------------------------------------------------------

// Fixed-point number in base 2^32: word 0 is the integer part, the others the fraction, most
// significant first.
using Fixed = std::vector<std::uint32_t>;

// Divides in place; `lead` is the first word that may be non-zero.
void DivideSmall(Fixed& v, std::uint32_t divisor, std::size_t lead) {
  std::uint64_t rem = 0;
  for (std::size_t i = lead; i < v.size(); ++i) {
    const std::uint64_t cur = (rem << 32) | v[i];
    v[i] = static_cast<std::uint32_t>(cur / divisor);
    rem = cur % divisor;
  }
}

void AddTo(Fixed& a, const Fixed& b) {
  std::uint64_t carry = 0;
  for (std::size_t i = a.size(); i-- > 0;) {
    const std::uint64_t sum = std::uint64_t{a[i]} + b[i] + carry;
    a[i] = static_cast<std::uint32_t>(sum);
    carry = sum >> 32;
  }
}

void SubtractFrom(Fixed& a, const Fixed& b) {
  std::uint64_t borrow = 0;
  for (std::size_t i = a.size(); i-- > 0;) {
    const std::uint64_t sub = std::uint64_t{b[i]} + borrow;
    borrow = a[i] < sub ? 1 : 0;
    a[i] = static_cast<std::uint32_t>((std::uint64_t{a[i]} + (borrow << 32)) - sub);
  }
}

// factor * arctan(1 / x) = factor * sum (-1)^k / ((2k + 1) x^(2k + 1))
Fixed ArctanInverse(std::uint32_t x, std::uint32_t factor, std::size_t words) {
  Fixed term(words, 0);
  term[0] = factor;
  DivideSmall(term, x, 0);
  Fixed sum = term;
  Fixed quotient(words, 0);
  std::size_t lead = 0;
  for (std::uint32_t k = 1;; ++k) {
    DivideSmall(term, x * x, lead);
    while (lead < words && term[lead] == 0) {
      ++lead;
    }
    if (lead == words) {
      break;
    }
    quotient = term;
    DivideSmall(quotient, 2 * k + 1, lead);
    if (k % 2 == 1) {
      SubtractFrom(sum, quotient);
    } else {
      AddTo(sum, quotient);
    }
  }
  return sum;
}

// pi = 16 arctan(1/5) - 4 arctan(1/239) (Machin), to 1042 fractional words plus guard words
// that absorb the truncation error of the series.
TEST(BfCryptTable, IsTheHexDigitsOfPi) {
  constexpr std::size_t kGuardWords = 3;
  constexpr std::size_t kWords = 1 + 1042 + kGuardWords;
  Fixed pi = ArctanInverse(5, 16, kWords);
  SubtractFrom(pi, ArctanInverse(239, 4, kWords));
  ASSERT_EQ(pi[0], 3U);
  ASSERT_EQ(pi[1], 0x243F6A88U);  // the well-known first word
  int mismatches = 0;
  for (std::size_t i = 0; i < 1042; ++i) {
    if (kBfInitWords[i] != pi[i + 1] && ++mismatches <= 10) {
      ADD_FAILURE() << "word " << i << ": table " << std::hex << kBfInitWords[i] << ", pi "
                    << pi[i + 1];
    }
  }
  EXPECT_EQ(mismatches, 0);
}

// --- Test data ----------------------------------------------------------------------------

std::vector<std::vector<std::string>> ReadDataLines(const std::string& name) {
  std::ifstream in(std::string(DORNVIK_TESTDATA_DIR) + "/" + name);
  EXPECT_TRUE(in.good()) << "cannot read " << name;
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    std::istringstream fields(line);
    std::vector<std::string> row;
    std::string field;
    while (fields >> field) {
      row.push_back(field);
    }
    if (!row.empty()) {
      rows.push_back(row);
    }
  }
  return rows;
}

std::vector<unsigned char> HexBytes(const std::string& hex) {
  std::vector<unsigned char> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::uint32_t BigEndianWord(const std::vector<unsigned char>& b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
         (std::uint32_t{b[at + 2]} << 8) | std::uint32_t{b[at + 3]};
}

bool ContextIsZero(const BfContext& ctx) {
  for (std::uint32_t w : ctx.P) {
    if (w != 0) return false;
  }
  for (const auto& box : ctx.S) {
    for (std::uint32_t w : box) {
      if (w != 0) return false;
    }
  }
  return true;
}

// Decrypts into a heap buffer of exactly `capacity` bytes, so that a write beyond it shows up
// under the address sanitizer; the stored text is copied to the heap for the same reason.
std::string Decrypt(const std::string& stored, std::size_t capacity,
                    const char* key = kSettingsKey) {
  std::unique_ptr<char[]> text(new char[stored.size() + 1]);
  std::memcpy(text.get(), stored.c_str(), stored.size() + 1);
  std::unique_ptr<char[]> result(new char[capacity]);
  std::memset(result.get(), '#', capacity);
  EXPECT_EQ(DecryptHexString(text.get(), result.get(), capacity, key), 1);
  EXPECT_TRUE(ContextIsZero(BfModuleContext())) << "context not cleared after " << stored;
  const void* zero = std::memchr(result.get(), '\0', capacity);
  const std::size_t end =
      zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - result.get())
                      : capacity;
  EXPECT_LT(end, capacity) << "result not terminated";
  return std::string(result.get(), end);
}

std::string Decrypt(const std::string& stored) { return Decrypt(stored, stored.size() + 1); }

// --- The cipher ---------------------------------------------------------------------------

TEST(BfCryptCipher, PublishedVectorsPass) {
  const auto rows = ReadDataLines("blowfish-ecb-vectors.txt");
  ASSERT_GE(rows.size(), 11U);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 3U);
    const auto key = HexBytes(row[0]);
    const auto plain = HexBytes(row[1]);
    const auto cipher = HexBytes(row[2]);
    BfContext ctx;
    BfInitKey(&ctx, key.data(), static_cast<int>(key.size()));
    std::uint32_t left = BigEndianWord(plain, 0);
    std::uint32_t right = BigEndianWord(plain, 4);
    BfEncryptBlock(&ctx, &left, &right);
    EXPECT_EQ(left, BigEndianWord(cipher, 0)) << "key " << row[0];
    EXPECT_EQ(right, BigEndianWord(cipher, 4)) << "key " << row[0];
    BfDecryptBlock(&ctx, &left, &right);
    EXPECT_EQ(left, BigEndianWord(plain, 0)) << "key " << row[0];
    EXPECT_EQ(right, BigEndianWord(plain, 4)) << "key " << row[0];
  }
}

TEST(BfCryptCipher, HexToBytesTakesOnlyUpperCaseLettersAsDigits) {
  struct Case {
    const char* text;
    unsigned char byte;
  };
  const Case cases[] = {
      {"00", 0x00},    {"09", 0x09}, {"0A", 0x0A}, {"FF", 0xFF},
      {"A5", 0xA5},    {"7E", 0x7E}, {"0a", 0x31},  // 'a' - 48 = 49
      {"a0", 0x10},                                 // 16 * 49 mod 256
      {"G0", 0x70},                                 // 'G' is not a digit: 23 * 16 mod 256
      {"\n0", 0xA0},                                // 10 - 48 wraps to 218; 16 * 218 mod 256
      {"0\xFF", 0xCF},                              // 255 - 48
  };
  for (const Case& c : cases) {
    unsigned char out[2] = {0x55, 0x55};
    HexToBytes(c.text, 2, out);
    EXPECT_EQ(out[0], c.byte) << "\"" << c.text << "\"";
    EXPECT_EQ(out[1], 0x55);
  }
  // An odd count decodes whole pairs only.
  unsigned char out[3] = {0x55, 0x55, 0x55};
  HexToBytes("12345", 5, out);
  EXPECT_EQ(out[0], 0x12);
  EXPECT_EQ(out[1], 0x34);
  EXPECT_EQ(out[2], 0x55);
}

// --- Stored values ------------------------------------------------------------------------

TEST(BfCryptStored, SettingsValuesDecryptAndEncrypt) {
  const auto rows = ReadDataLines("settings-values.txt");
  ASSERT_GE(rows.size(), 4U);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 2U);
    const std::string& plain = row[0];
    const std::string& stored = row[1];
    EXPECT_EQ(Decrypt(stored), plain);
    EXPECT_EQ(EncryptToHex(plain, kSettingsKey), stored);
    EXPECT_TRUE(ContextIsZero(BfModuleContext()));
  }
}

TEST(BfCryptStored, OtherCodingsDoNotDecryptBack) {
  for (const auto& row : ReadDataLines("settings-values.txt")) {
    const std::string& plain = row[0];
    const std::string& stored = row[1];
    std::string lower = stored;
    for (char& c : lower) {
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c + 32);
    }
    // The same block with big-endian halves: the bytes of each half reversed.
    std::string bigEndian = stored;
    for (std::size_t half = 0; half < stored.size(); half += 8) {
      for (std::size_t b = 0; b < 4; ++b) {
        bigEndian.replace(half + 2 * b, 2, stored.substr(half + 6 - 2 * b, 2));
      }
    }
    if (lower != stored) {
      EXPECT_NE(Decrypt(lower), plain) << stored;
    }
    EXPECT_NE(Decrypt(bigEndian), plain) << stored;
    EXPECT_NE(Decrypt(stored, stored.size() + 1, "quernix"), plain) << stored;
  }
}

TEST(BfCryptStored, RoundTripsAndTerminatorRule) {
  const std::string texts[] = {"",
                               "a",
                               "1234567",
                               "12345678",
                               "123456789",
                               "\xE4\xFC\xDC;x y",
                               std::string(16, 'Q'),
                               std::string(25, '\xFF')};
  for (const std::string& plain : texts) {
    const std::string stored = EncryptToHex(plain, kSettingsKey);
    EXPECT_EQ(stored.size(), (plain.size() + 7) / 8 * 16) << plain;
    EXPECT_EQ(stored.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(Decrypt(stored), plain);
  }
  // The decrypted value ends at the first zero byte, even inside a block.
  EXPECT_EQ(Decrypt(EncryptToHex(std::string("ab\0cdefghij", 11), kSettingsKey)), "ab");
  EXPECT_TRUE(ContextIsZero(BfModuleContext()));
}

TEST(BfCryptStored, EmptyTextGivesEmptyResultAndClearedContext) {
  char result[4] = {'x', 'y', 'z', 'w'};
  EXPECT_EQ(DecryptHexString("", result, sizeof result, kSettingsKey), 1);
  EXPECT_EQ(result[0], '\0');
  EXPECT_EQ(result[1], 'y');
  EXPECT_TRUE(ContextIsZero(BfModuleContext()));
}

// A stored text whose length is not a multiple of 16: characters behind the last whole block
// are not decrypted, and nothing is read beyond the text. The buffers are exactly as long as
// the settings reader makes them (text plus terminator), on the heap.
TEST(BfCryptStored, ShortRestIsNotDecrypted) {
  const std::string full = EncryptToHex("ABCDEFGHIJKLMNOP", kSettingsKey);  // two blocks
  struct Case {
    std::size_t length;
    const char* plain;
  };
  for (Case c : {Case{1, ""}, Case{7, ""}, Case{15, ""}, Case{16, "ABCDEFGH"}, Case{17, "ABCDEFGH"},
                 Case{31, "ABCDEFGH"}, Case{32, "ABCDEFGHIJKLMNOP"}}) {
    EXPECT_EQ(Decrypt(full.substr(0, c.length), c.length + 1), c.plain) << c.length;
  }
  // A lone line feed, as an empty value field gives it, reads as an empty text.
  EXPECT_EQ(Decrypt("\n", 2), "");
  EXPECT_TRUE(ContextIsZero(BfModuleContext()));
}

TEST(BfCryptStored, ResultIsCutAtItsCapacity) {
  const std::string stored = EncryptToHex("ABCDEFGHIJ", kSettingsKey);
  EXPECT_EQ(Decrypt(stored, 5), "ABCD");
  EXPECT_EQ(Decrypt(stored, 9), "ABCDEFGH");
  EXPECT_EQ(Decrypt(stored, 1), "");

  char guard[8] = {'#', '#', '#', '#', '#', '#', '#', '#'};
  DecryptHexString(stored.c_str(), guard, 0, kSettingsKey);
  EXPECT_EQ(std::string(guard, 8), "########");
  EXPECT_TRUE(ContextIsZero(BfModuleContext()));
}

}  // namespace
