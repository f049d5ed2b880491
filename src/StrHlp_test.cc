#include "StrHlp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <string>

namespace {

// Copies a text into a fixed array, terminated, cut to fit.
template <std::size_t N>
void SetText(char (&dest)[N], const char* text) {
  const std::size_t n = std::min(std::strlen(text), N - 1);
  std::memcpy(dest, text, n);
  dest[n] = '\0';
}

TEST(StrHlpTrimRight, RemovesOnlyTrailingBlanksAndTabs) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"", ""},
      {" \t \t", ""},
      {"ab \t ", "ab"},
      {" ab", " ab"},
      {"a b  ", "a b"},
      {"ab\n", "ab\n"},
      {"ab\r", "ab\r"},
      {"ab\xA0", "ab\xA0"},   // no-break space is not a blank
      {"ab\v\f", "ab\v\f"},   // nor are other control characters
      {"ab\t\n ", "ab\t\n"},  // stops at the first non-blank from the end
  };
  for (const Case& c : cases) {
    char buf[32];
    SetText(buf, c.in);
    EXPECT_EQ(StrTrimRight(buf), buf);
    EXPECT_STREQ(buf, c.out) << "input \"" << c.in << "\"";
  }
}

TEST(StrHlpUpper, FoldsAsciiLettersOnlyUnderAnyLocale) {
  // Whatever locale the machine offers, only a-z change.
  const char* const locales[] = {"C", "de_DE.ISO-8859-1", "de_DE.UTF-8", "C.UTF-8", ""};
  for (const char* loc : locales) {
    const char* set = std::setlocale(LC_ALL, loc);
    char buf[64];
    SetText(buf, "abc;xyz1 /d \xE4\xF6\xFC\xDF\xE9\xFF`{@[");
    EXPECT_EQ(StrUpper(buf), buf);
    EXPECT_STREQ(buf, "ABC;XYZ1 /D \xE4\xF6\xFC\xDF\xE9\xFF`{@[")
        << "locale " << (set != nullptr ? set : "(unavailable)");
  }
  std::setlocale(LC_ALL, "C");

  // Every byte value: exactly a-z move, by 32.
  char all[256];
  for (int i = 1; i < 256; ++i) {
    all[i - 1] = static_cast<char>(i);
  }
  all[255] = '\0';
  StrUpper(all);
  for (int i = 1; i < 256; ++i) {
    const int expected = (i >= 'a' && i <= 'z') ? i - 32 : i;
    EXPECT_EQ(static_cast<unsigned char>(all[i - 1]), expected) << "byte " << i;
  }

  char empty[1] = "";
  EXPECT_EQ(StrUpper(empty), empty);
  EXPECT_STREQ(empty, "");
}

TEST(StrHlpSubCopy, CopiesPiecesWithLengthZeroMeaningTheRest) {
  struct Case {
    int start;
    int length;
    const char* out;
  };
  const Case cases[] = {
      {2, 3, "cde"},    {2, 0, "cdef"}, {6, 0, ""},  {0, 6, "abcdef"},
      {0, 0, "abcdef"}, {5, 1, "f"},    {0, 1, "a"},
  };
  for (const Case& c : cases) {
    char dest[16];
    std::memset(dest, 'Z', sizeof dest);
    StrSubCopy("abcdef", c.start, c.length, dest, sizeof dest);
    EXPECT_STREQ(dest, c.out) << "start " << c.start << " length " << c.length;
  }
}

TEST(StrHlpSubCopy, NegativeLengthLeavesDestinationUntouched) {
  for (int length : {-1, -2, -100}) {
    char dest[8] = {'k', 'e', 'p', 't', '\0', 'x', 'y', 'z'};
    StrSubCopy("abcdef", 1, length, dest, sizeof dest);
    EXPECT_EQ(std::string(dest, sizeof dest), std::string("kept\0xyz", 8));
  }
}

// The source is never read beyond its terminator, and the destination never written beyond
// its capacity. The guard bytes behind the capacity must survive every case.
TEST(StrHlpSubCopy, StaysInsideSourceAndDestination) {
  struct Case {
    const char* source;
    int start;
    int length;
    std::size_t capacity;
    const char* out;
  };
  const Case cases[] = {
      {"abcdef", 4, 10, 16, "ef"},  // length runs past the end: stops at the terminator
      {"abcdef", 9, 2, 16, ""},     // start beyond the text
      {"abcdef", 9, 0, 16, ""},    {"abcdef", -3, 2, 16, "ab"},  // negative start taken as 0
      {"abcdef", 0, 0, 4, "abc"},                                // cut to capacity - 1
      {"abcdef", 1, 5, 5, "bcde"}, {"abcdef", 1, 4, 5, "bcde"},  // exactly fits
      {"abcdef", 2, 0, 1, ""},                                   // room for the terminator only
      {"", 0, 0, 4, ""},           {"", 0, 5, 4, ""},
  };
  for (const Case& c : cases) {
    char dest[24];
    std::memset(dest, '#', sizeof dest);
    StrSubCopy(c.source, c.start, c.length, dest, c.capacity);
    EXPECT_STREQ(dest, c.out) << c.source << " start " << c.start << " length " << c.length
                              << " capacity " << c.capacity;
    for (std::size_t i = c.capacity; i < sizeof dest; ++i) {
      ASSERT_EQ(dest[i], '#') << "written beyond capacity at " << i;
    }
  }

  char untouched[4] = {'#', '#', '#', '#'};
  StrSubCopy("abc", 0, 0, untouched, 0);
  EXPECT_EQ(std::string(untouched, 4), "####");
}

TEST(StrHlpSubCopy, HeapSourceIsNotOverread) {
  // A source of exactly its own length on the heap: a read past the terminator shows up under
  // the address sanitizer.
  const std::string text = "0123456789";
  char* source = new char[text.size() + 1];
  std::memcpy(source, text.c_str(), text.size() + 1);
  char dest[64];
  StrSubCopy(source, 7, 50, dest, sizeof dest);
  EXPECT_STREQ(dest, "789");
  delete[] source;
}

TEST(StrHlpFindNth, FindsNthOrFallsBackToLast) {
  struct Case {
    const char* text;
    char c;
    int n;
    int pos;
  };
  const Case cases[] = {
      {"a;b;c", ';', 1, 1},        {"a;b;c", ';', 2, 3}, {"a;b;c", ';', 3, 3},  // fallback
      {"a;b", ';', 2, 1},          {"abc", ';', 1, -1},  {"abc", ';', 5, -1},  {"", ';', 1, -1},
      {"x;;y", ';', 1, 1},         {"x;;y", ';', 2, 2},  {";", ';', 1, 0},     {"ab\n", '\n', 1, 2},
      {"abc", '\0', 1, -1},         // terminator not examined
      {"\xE4;\xE4", '\xE4', 2, 2},  // bytes of 128 or more compare as bytes
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StrFindNth(c.text, c.c, c.n), c.pos)
        << "\"" << c.text << "\" char " << static_cast<int>(c.c) << " n " << c.n;
  }
}

}  // namespace
