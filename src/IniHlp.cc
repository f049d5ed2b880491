#include "IniHlp.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "BfCrypt.h"
#include "FileSys.h"
#include "StrHlp.h"

const char kIniCryptKey[] = "QUERNIX";

std::int32_t IniIndex = 0;
char IniSection[201];
char IniKey[201];
char IniValue[201];

namespace {

// Line buffers: line 1 of a record, line 2, and the index field.
constexpr std::size_t kLine1Capacity = 200;
constexpr std::size_t kLine2Capacity = 400;
constexpr std::size_t kIndexCapacity = 12;

// Reads the settings file line by line, as a C stream in text mode would: the file is read as
// raw bytes and a carriage return directly before a line feed is dropped, on every platform.
// The pair is dropped before lines are cut, so it is never split: a CR LF that straddles the
// place where a long line is cut still counts as the one line feed that ends the line (or, when
// the buffer is already full, as the line feed of the next, empty, line). A carriage return
// anywhere else stays.
class LineReader {
 public:
  explicit LineReader(File& file) : file_(file) {}

  // Like fgets: at most capacity - 1 characters, up to and including a line feed, then a
  // terminator. False at the end of the file with nothing read, and on a read error (which
  // makes every later call fail too); the buffer's content is then undefined.
  bool ReadLine(char* line, std::size_t capacity) {
    if (capacity == 0) {
      return false;
    }
    std::size_t count = 0;
    while (count + 1 < capacity) {
      const int c = NextChar();
      if (c < 0) {
        break;
      }
      line[count++] = static_cast<char>(c);
      if (c == '\n') {
        break;
      }
    }
    line[count] = '\0';
    return !failed_ && count > 0;
  }

 private:
  // The next byte of the file, or -1 at its end or after a read error.
  int RawByte() {
    if (pos_ == end_) {
      if (atEnd_ || failed_) {
        return -1;
      }
      std::size_t got = 0;
      if (!file_.Read(buffer_, sizeof buffer_, &got) || got > sizeof buffer_) {
        failed_ = true;
        return -1;
      }
      pos_ = 0;
      end_ = got;
      if (got == 0) {
        atEnd_ = true;
        return -1;
      }
    }
    return static_cast<unsigned char>(buffer_[pos_++]);
  }

  // The next character with CR LF read as LF.
  int NextChar() {
    int c;
    if (hasPending_) {
      hasPending_ = false;
      c = pending_;
    } else {
      c = RawByte();
    }
    if (c == '\r') {
      const int next = RawByte();
      if (next == '\n') {
        return '\n';
      }
      pending_ = next;
      hasPending_ = true;
    }
    return c;
  }

  File& file_;
  char buffer_[512];
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool atEnd_ = false;
  bool failed_ = false;
  int pending_ = -1;
  bool hasPending_ = false;
};

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The usual decimal conversion (leading white space, an optional sign, digits up to the first
// other character; 0 without digits), without its undefined behaviour: a value beyond the
// 32-bit range is clamped to it. The field holds at most 11 characters, so the accumulator
// cannot overflow.
std::int32_t ParseIndex(const char* text) {
  while (IsSpace(*text)) {
    ++text;
  }
  bool negative = false;
  if (*text == '+' || *text == '-') {
    negative = *text == '-';
    ++text;
  }
  std::int64_t value = 0;
  for (int i = 0; i < 18 && *text >= '0' && *text <= '9'; ++i, ++text) {
    value = value * 10 + (*text - '0');
  }
  if (negative) {
    value = -value;
  }
  if (value > INT32_MAX) {
    return INT32_MAX;
  }
  if (value < INT32_MIN) {
    return INT32_MIN;
  }
  return static_cast<std::int32_t>(value);
}

void ClearFields() {
  IniIndex = 0;
  IniSection[0] = '\0';
  IniKey[0] = '\0';
  IniValue[0] = '\0';
}

// Cuts one record into IniIndex, IniSection, IniKey and IniValue. A field's length goes to
// StrSubCopy as it comes out of the separator positions: 0 copies the rest of the line, a
// negative length leaves the (already emptied) field as it is.
//
// Fields longer than their buffers are cut, never overflowed:
// - the index field keeps its first 11 characters (so "000000000001" reads as 0, and the rest
//   of the line that an empty index field gives still starts with ';' and reads as 0);
// - section, key and value keep their first 200 characters; a value cut like that is then
//   usually no whole number of 16-digit blocks and decrypts as DecryptHexString states.
// A second line without any ';' has no index field: its index is 0, never a leftover of an
// earlier record.
void CutRecord(const char* line1, const char* line2) {
  const int p1 = StrFindNth(line1, ';', 1);
  const int p2 = StrFindNth(line1, ';', 2);
  StrSubCopy(line1, p1 + 1, p2 - p1 - 1, IniSection, sizeof IniSection);

  const int q1 = StrFindNth(line2, ';', 1);
  const int q2 = StrFindNth(line2, ';', 2);
  char indexText[kIndexCapacity] = "";
  StrSubCopy(line2, 0, q1, indexText, sizeof indexText);
  IniIndex = q1 < 0 ? 0 : ParseIndex(indexText);

  StrSubCopy(line2, q1 + 1, q2 - q1 - 1, IniKey, sizeof IniKey);

  if (q1 < 0) {
    StrSubCopy(line2, 0, 0, IniValue, sizeof IniValue);
  } else {
    const int lineFeed = StrFindNth(line2, '\n', 1);
    StrSubCopy(line2, q2 + 1, lineFeed - q2 - 1, IniValue, sizeof IniValue);
  }
}

bool Equal(const char* a, const char* b) {
  return std::strcmp(a != nullptr ? a : "", b != nullptr ? b : "") == 0;
}

// Decrypts IniValue in place. The work buffer is as long as the stored text plus its
// terminator; whole 16-digit blocks always fit, a shorter last group is cut to it.
void DecryptValue() {
  char work[sizeof IniValue];
  const std::size_t capacity = std::strlen(IniValue) + 1;
  DecryptHexString(IniValue, work, capacity, kIniCryptKey);
  std::memcpy(IniValue, work, std::strlen(work) + 1);
  std::memset(work, 0, sizeof work);
}

}  // namespace

// Any one of section, key or index that equals the asked one takes the record. A null
// section or key is taken as an empty text.
void GetIniValue(const char* section, const char* key, std::int32_t index, const char* path) {
  ClearFields();
  if (path == nullptr) {
    return;
  }
  std::unique_ptr<File> file = Fs().OpenRead(path);
  if (!file) {
    return;
  }

  LineReader reader(*file);
  char line1[kLine1Capacity];
  char line2[kLine2Capacity];
  for (;;) {
    // A record needs both lines; a read error ends the lookup like the end of the file.
    if (!reader.ReadLine(line1, sizeof line1) || !reader.ReadLine(line2, sizeof line2)) {
      break;
    }
    CutRecord(line1, line2);
    if (Equal(IniSection, section) || Equal(IniKey, key) || IniIndex == index) {
      DecryptValue();
      break;
    }
    ClearFields();
  }
  file->Close();
}
