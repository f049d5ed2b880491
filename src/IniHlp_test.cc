#include "IniHlp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "BfCrypt.h"
#include "FileSys.h"
#include "test_util.h"

namespace {

// Copies a text into a fixed array, terminated, cut to fit.
template <std::size_t N>
void SetText(char (&dest)[N], const char* text) {
  const std::size_t n = std::min(std::strlen(text), N - 1);
  std::memcpy(dest, text, n);
  dest[n] = '\0';
}

// An in-memory file system: files are handed out in reads of at most `chunk` bytes, so that
// line ends and CR LF pairs fall across read boundaries, and reading can fail from a chosen
// byte offset on.
class MemFileSystem : public FileSystem {
 public:
  std::map<std::string, std::string> files;
  std::size_t chunk = 4096;
  std::size_t failReadsFrom = std::string::npos;
  int opened = 0;
  int closed = 0;

  std::unique_ptr<File> OpenRead(const char* path) override {
    const auto it = files.find(path);
    if (it == files.end()) {
      return nullptr;
    }
    ++opened;
    return std::make_unique<MemFile>(*this, it->second);
  }
  std::unique_ptr<File> OpenAppend(const char*) override { return nullptr; }
  bool RenameNoReplace(const char*, const char*) override { return false; }
  bool Remove(const char*) override { return false; }

 private:
  class MemFile : public File {
   public:
    MemFile(MemFileSystem& fs, std::string data) : fs_(fs), data_(std::move(data)) {}
    ~MemFile() override { EXPECT_TRUE(closed_) << "file destroyed without Close"; }
    bool Read(char* buffer, std::size_t n, std::size_t* got) override {
      EXPECT_FALSE(closed_);
      if (pos_ >= fs_.failReadsFrom) {
        return false;
      }
      std::size_t count = std::min({n, fs_.chunk, data_.size() - pos_});
      if (fs_.failReadsFrom != std::string::npos) {
        count = std::min(count, fs_.failReadsFrom - pos_);
      }
      std::memcpy(buffer, data_.data() + pos_, count);
      pos_ += count;
      *got = count;
      return true;
    }
    bool Write(const char*, std::size_t) override { return false; }
    bool Flush() override { return false; }
    bool Sync() override { return false; }
    bool Size(std::uint64_t*) override { return false; }
    bool Truncate(std::uint64_t) override { return false; }
    bool LockExclusive() override { return false; }
    bool Close() override {
      EXPECT_FALSE(closed_) << "closed twice";
      closed_ = true;
      ++fs_.closed;
      return true;
    }

   private:
    MemFileSystem& fs_;
    std::string data_;
    std::size_t pos_ = 0;
    bool closed_ = false;
  };
};

struct Fields {
  std::int32_t index;
  std::string section;
  std::string key;
  std::string value;
  bool operator==(const Fields&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Fields& f) {
  return os << "{index " << f.index << ", section \"" << f.section << "\", key \"" << f.key
            << "\", value \"" << f.value << "\"}";
}

std::string Stored(const std::string& plain) { return EncryptToHex(plain, kIniCryptKey); }

// What a found value field decrypts to: the field cut to IniValue's 200 characters, decrypted
// into a buffer of its length plus terminator.
std::string DecryptedField(const std::string& field) {
  const std::string text = field.substr(0, 200);
  char buf[201];
  DecryptHexString(text.c_str(), buf, text.size() + 1, kIniCryptKey);
  return buf;
}

constexpr const char* kPath = "Velmorand.ini";

class IniHlpTest : public ::testing::Test {
 protected:
  // Runs one lookup on `content` with several read sizes; they must all agree.
  Fields Lookup(const std::string& content, const char* section, const char* key,
                std::int32_t index) {
    Fields first{};
    bool haveFirst = false;
    for (std::size_t chunk : {std::size_t{4096}, std::size_t{1}, std::size_t{3}}) {
      fs_.files[kPath] = content;
      fs_.chunk = chunk;
      // Leftovers of an earlier lookup must never show through.
      IniIndex = 4711;
      SetText(IniSection, "stale");
      SetText(IniKey, "stale");
      SetText(IniValue, "stale");
      const int closedBefore = fs_.closed;
      GetIniValue(section, key, index, kPath);
      EXPECT_EQ(fs_.closed, closedBefore + 1) << "file not closed";
      const Fields got{IniIndex, IniSection, IniKey, IniValue};
      if (!haveFirst) {
        first = got;
        haveFirst = true;
      } else {
        EXPECT_EQ(got, first) << "read size " << chunk;
      }
    }
    EXPECT_EQ(fs_.opened, fs_.closed);
    return first;
  }

  MemFileSystem fs_;
  ScopedFileSystem scoped_{&fs_};
};

// A file on which each of the program's own lookups (empty section, index 0) finds its value.
std::string WellFormedFile() {
  return "Dornvik;DB;login name\n1;LOGIN;" + Stored("scott") +
         "\n"
         "Dornvik;DB;password\n2;PASS;" +
         Stored("tiger") +
         "\n"
         "Dornvik;DB;service\n3;NET8;" +
         Stored("ORCL") +
         "\n"
         "Dornvik;DB;again\n4;LOGIN;" +
         Stored("second") + "\n";
}

TEST_F(IniHlpTest, ProgramLookupsFindTheirOwnValues) {
  const std::string file = WellFormedFile();
  EXPECT_EQ(Lookup(file, "", "LOGIN", 0), (Fields{1, "DB", "LOGIN", "scott"}));
  EXPECT_EQ(Lookup(file, "", "PASS", 0), (Fields{2, "DB", "PASS", "tiger"}));
  EXPECT_EQ(Lookup(file, "", "NET8", 0), (Fields{3, "DB", "NET8", "ORCL"}));
  // No record carries the key: everything empty, nothing decrypted.
  for (const char* other : {"login", " LOGIN", "LOGIN ", "NET", "USER"}) {
    EXPECT_EQ(Lookup(file, "", other, 0), (Fields{0, "", "", ""})) << other;
  }
}

TEST_F(IniHlpTest, AnyOneOfSectionKeyOrIndexTakesTheRecord) {
  const std::string file = WellFormedFile();
  EXPECT_EQ(Lookup(file, "DB", "none", 0), (Fields{1, "DB", "LOGIN", "scott"}));
  EXPECT_EQ(Lookup(file, "x", "none", 3), (Fields{3, "DB", "NET8", "ORCL"}));
  EXPECT_EQ(Lookup(file, "x", "LOGIN", 3), (Fields{1, "DB", "LOGIN", "scott"}));
  EXPECT_EQ(Lookup(file, "db", "PASS", 9), (Fields{2, "DB", "PASS", "tiger"}));
}

TEST_F(IniHlpTest, FullBlockValueComesBackWhole) {
  const std::string file = "a;S;b\r\n7;K;" + Stored("12345678") + "\r\n";
  EXPECT_EQ(Lookup(file, "", "K", 0), (Fields{7, "S", "K", "12345678"}));
}

// The fields that lines outside the format give. `value` is the raw field text; the lookup
// leaves it decrypted.
TEST_F(IniHlpTest, MalformedLinesGiveTheirDefinedFields) {
  const std::string v = Stored("value");
  const std::string w = Stored("other");
  struct Case {
    const char* what;
    std::string file;
    const char* section;
    const char* key;
    std::int32_t index;
    Fields expected;  // value: raw field text
  };
  const Case cases[] = {
      {"line 1 with one ';'", "head;er\n5;K;" + v + "\n", "", "none", 9, {5, "", "K", v}},
      {"line 1 without ';'", "[Heading]\n5;K;" + v + "\n", "", "none", 9, {5, "", "K", v}},
      {"line 1 empty", "\n5;K;" + v + "\n", "", "none", 9, {5, "", "K", v}},
      {"line 1 a;;b", "a;;b\n5;K;" + v + "\n", "x", "K", 9, {5, ";b\n", "K", v}},
      {"line 2 starts with ';'", "a;S;b\n;K;" + v + "\n", "x", "none", 0, {0, "S", "K", v}},
      {"line 2 with one ';'", "a;S;b\n5;" + v + "\n", "x", "", 9, {5, "S", "", v}},
      {"line 2 without ';'", "a;S;b\n" + v + "\n", "x", "", 9, {0, "S", "", v + "\n"}},
      {"line 2 with ';;'", "a;S;b\n5;;" + v + "\n", "S", "x", 9, {5, "S", ";" + v + "\n", v}},
      {"line 2 ends after the second ';'", "a;S;b\n5;K;\n", "x", "K", 9, {5, "S", "K", "\n"}},
      {"further ';' belong to the value",
       "a;S;b\n5;K;" + v + ";" + w + "\n",
       "x",
       "K",
       9,
       {5, "S", "K", v + ";" + w}},
      {"last line without line break", "a;S;b\n5;K;" + v, "x", "K", 9, {5, "S", "K", ""}},
      {"a blank line shifts the records",
       "\na;S;b\n5;K;" + v + "\n",
       "",
       "none",
       9,
       {0, "", "S", "b"}},
      {"record with index 0 before",
       "a;S;b\n0;X;" + w + "\na;S;b\n5;K;" + v + "\n",
       "",
       "K",
       0,
       {0, "S", "X", w}},
      {"record with empty section before",
       "heading\n8;X;" + w + "\na;S;b\n5;K;" + v + "\n",
       "",
       "K",
       0,
       {8, "", "X", w}},
      {"record with index not a number before",
       "a;S;b\nix;X;" + w + "\na;S;b\n5;K;" + v + "\n",
       "",
       "K",
       0,
       {0, "S", "X", w}},
      {"two records with the key: the first",
       "a;S;b\n5;K;" + v + "\na;S;b\n6;K;" + w + "\n",
       "x",
       "K",
       9,
       {5, "S", "K", v}},
  };
  for (const Case& c : cases) {
    Fields expected = c.expected;
    expected.value = DecryptedField(expected.value);
    EXPECT_EQ(Lookup(c.file, c.section, c.key, c.index), expected) << c.what;
  }
}

TEST_F(IniHlpTest, RecordsThatAreNotTakenLeaveNothingBehind) {
  // The record without any ';' in its second line comes after one with index 42: its index is
  // 0, not a leftover.
  const std::string v = Stored("value");
  const std::string file = "a;S1;b\n42;K1;" + Stored("first") + "\na;S2;b\n" + v + "\n";
  EXPECT_EQ(Lookup(file, "S2", "none", 99), (Fields{0, "S2", "", DecryptedField(v + "\n")}));

  // A file with an odd number of lines: the last line is no record.
  const std::string odd = "a;S;b\n5;K;" + v + "\nc;;d\n";
  EXPECT_EQ(Lookup(odd, "x", "none", 9), (Fields{0, "", "", ""}));
  EXPECT_EQ(Lookup("", "", "", 0), (Fields{0, "", "", ""}));
  EXPECT_EQ(Lookup("only;one;line\n", "", "", 0), (Fields{0, "", "", ""}));
}

TEST_F(IniHlpTest, IndexFieldIsConvertedAndCut) {
  struct Case {
    const char* field;
    std::int32_t index;
  };
  const Case cases[] = {
      {"17", 17},
      {"  +42", 42},
      {"\t-3", -3},
      {"42abc", 42},
      {"abc", 0},
      {"", 0},
      {"- 5", 0},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"99999999999", INT32_MAX},  // beyond 32 bits: clamped
      {"-99999999999", INT32_MIN},
      {"000000000001", 0},             // 12 characters: the first 11 are "00000000000"
      {"123456789012345", INT32_MAX},  // "12345678901"
  };
  for (const Case& c : cases) {
    const std::string file = std::string("a;S;b\n") + c.field + ";K;" + Stored("v") + "\n";
    EXPECT_EQ(Lookup(file, "x", "K", -77).index, c.index) << "\"" << c.field << "\"";
  }
}

TEST_F(IniHlpTest, CarriageReturnBeforeLineFeedIsDropped) {
  const std::string v = Stored("value");
  const std::string lf = "a;S;b\n5;K;" + v + "\n";
  const std::string crlf = "a;S;b\r\n5;K;" + v + "\r\n";
  EXPECT_EQ(Lookup(crlf, "x", "K", 9), Lookup(lf, "x", "K", 9));
  EXPECT_EQ(Lookup(crlf, "x", "K", 9).value, "value");
  // Line 1 "a;;b" shows the line end that the section keeps.
  EXPECT_EQ(Lookup("a;;b\r\n5;K;" + v + "\r\n", "x", "K", 9).section, ";b\n");
  // A carriage return that is not followed by a line feed stays, also a doubled one.
  EXPECT_EQ(Lookup("a;;b\r\r\n5;K;" + v + "\n", "x", "K", 9).section, ";b\r\n");
  EXPECT_EQ(Lookup("a;;b\rc\n5;K;" + v + "\n", "x", "K", 9).section, ";b\rc\n");
}

TEST_F(IniHlpTest, LongLinesAreCutAndTheRestIsTheNextLine) {
  const std::string v = Stored("value");
  // Line 1 of 198 characters is read whole, with LF or CR LF.
  const std::string head198 = "a;S;" + std::string(194, 'h');
  for (const char* end : {"\n", "\r\n"}) {
    EXPECT_EQ(Lookup(head198 + end + "5;K;" + v + end, "x", "K", 9), (Fields{5, "S", "K", "value"}))
        << "line end " << (end[0] == '\r' ? "CR LF" : "LF");
  }
  // 199 characters: cut, and its line end is read as the record's second line, which holds no
  // ';' (value: the line feed alone). The real second line then starts the next record.
  const std::string head199 = head198 + "h";
  for (const char* end : {"\n", "\r\n"}) {
    EXPECT_EQ(Lookup(head199 + end + "5;K;" + v + end, "S", "none", 9),
              (Fields{0, "S", "", DecryptedField("\n")}));
  }
  // A longer line 1: the rest after 199 characters becomes line 2.
  const std::string tail = std::string(60, 'p') + "\n";
  EXPECT_EQ(Lookup("a;S;" + std::string(195, 'q') + tail + "5;K;" + v + "\n", "S", "none", 9),
            (Fields{0, "S", "", DecryptedField(tail)}));

  // Line 2 of 398 characters is read whole: the value field is cut to 200 characters.
  const std::string value394 = v + ";" + std::string(394 - v.size() - 1, 'F');
  const std::string line2 = "5;K;" + value394;
  ASSERT_EQ(line2.size(), 398U);
  const Fields whole = Lookup("a;S;b\n" + line2 + "\r\n", "x", "K", 9);
  EXPECT_EQ(whole, (Fields{5, "S", "K", DecryptedField(value394)}));
  EXPECT_EQ(whole.value.substr(0, 5), "value");
  // 399 characters: cut before the line feed, so the value is empty; the line end is the
  // first line of the next record.
  EXPECT_EQ(Lookup("a;S;b\n" + line2 + "F\n5;K2;" + v + "\n", "x", "K", 9),
            (Fields{5, "S", "K", ""}));
  EXPECT_EQ(Lookup("a;S;b\n" + line2 + "F\n5;K2;" + v + "\n", "x", "K2", 9),
            (Fields{5, "", "K2", "value"}));
}

TEST_F(IniHlpTest, OverlongFieldsAreCutToTheirBuffers) {
  const std::string v = Stored("value");
  const std::string key300(300, 'K');
  const std::string section(195, 'S');
  // The key keeps its first 200 characters, and is found by them.
  const Fields got = Lookup("a;" + section + ";\n5;" + key300 + ";" + v + "\n", "x",
                            std::string(200, 'K').c_str(), 9);
  EXPECT_EQ(got, (Fields{5, section, std::string(200, 'K'), "value"}));
  // Not by the full 300.
  EXPECT_EQ(Lookup("a;S;\n5;" + key300 + ";" + v + "\n", "x", key300.c_str(), 9).key, "");

  // A value of 24 blocks keeps 200 digits: 12 whole blocks and 8 digits that form no block.
  std::string plain;
  for (int i = 0; i < 24 * 8; ++i) {
    plain.push_back(static_cast<char>('A' + i % 26));
  }
  const std::string long_value = Stored(plain);
  const Fields cut = Lookup("a;S;b\n5;K;" + long_value + "\n", "x", "K", 9);
  EXPECT_EQ(cut.value, plain.substr(0, 96));
}

TEST_F(IniHlpTest, EmptyValueFieldReadsAsEmpty) {
  EXPECT_EQ(Lookup("a;S;b\n5;K;\n", "x", "K", 9).value, "");
  EXPECT_EQ(Lookup("a;S;b\r\n5;K;\r\n", "x", "K", 9).value, "");
}

TEST_F(IniHlpTest, MissingFileOrFailedReadGivesEmptyValue) {
  IniIndex = 3;
  SetText(IniValue, "stale");
  SetText(IniKey, "stale");
  SetText(IniSection, "stale");
  GetIniValue("", "LOGIN", 0, "missing.ini");
  EXPECT_EQ((Fields{IniIndex, IniSection, IniKey, IniValue}), (Fields{0, "", "", ""}));
  EXPECT_EQ(fs_.opened, 0);

  // A read error in the middle of the record looked for ends the lookup like the end of file.
  const std::string file = WellFormedFile();
  const std::size_t secondRecord = file.find("Dornvik;DB;password");
  fs_.failReadsFrom = secondRecord + 25;
  EXPECT_EQ(Lookup(file, "", "PASS", 0), (Fields{0, "", "", ""}));
  // Before the error the first record is still found.
  EXPECT_EQ(Lookup(file, "", "LOGIN", 0).value, "scott");
  fs_.failReadsFrom = 0;
  EXPECT_EQ(Lookup(file, "", "LOGIN", 0), (Fields{0, "", "", ""}));
}

TEST_F(IniHlpTest, ContextIsClearedAfterALookup) {
  Lookup(WellFormedFile(), "", "PASS", 0);
  const BfContext& ctx = BfModuleContext();
  EXPECT_TRUE(std::all_of(std::begin(ctx.P), std::end(ctx.P), [](auto w) { return w == 0; }));
  for (const auto& box : ctx.S) {
    EXPECT_TRUE(std::all_of(std::begin(box), std::end(box), [](auto w) { return w == 0; }));
  }
}

// Random files made of separators, line ends, carriage returns, zero bytes, hex digits and
// long runs: whatever they hold, the lookup stays inside its buffers (checked by the address
// sanitizer) and gives the same fields whatever the read size.
TEST_F(IniHlpTest, ArbitraryFilesStayInsideTheBuffers) {
  std::uint32_t seed = 12345;
  const auto next = [&seed](std::uint32_t bound) {
    seed = seed * 1664525U + 1013904223U;
    return (seed >> 8) % bound;
  };
  const char alphabet[] = {';', ';', '\n', '\n', '\r', '\0', 'A', 'F', '0', '9', 'a', ' ', '-'};
  for (int round = 0; round < 200; ++round) {
    std::string file;
    const std::uint32_t length = next(1500);
    while (file.size() < length) {
      const char c = alphabet[next(sizeof alphabet)];
      file.append(next(8) == 0 ? next(450) : 1, c);
    }
    const Fields got = Lookup(file, "", "K", 0);
    EXPECT_LE(got.section.size(), 200U);
    EXPECT_LE(got.key.size(), 200U);
    EXPECT_LE(got.value.size(), 200U);
  }
}

// The same lookup through the real file system, on a file written with CR LF line ends.
TEST(IniHlpRealFile, ReadsAFileOnDisk) {
  ScratchDir dir;
  const std::string path = dir.Join("Velmorand.ini");
  WriteBytes(path, "Dornvik;DB;x\r\n1;LOGIN;" + Stored("scott") + "\r\nDornvik;DB;y\r\n2;PASS;" +
                       Stored("tiger") + "\r\n");
  GetIniValue("", "PASS", 0, path.c_str());
  EXPECT_STREQ(IniValue, "tiger");
  EXPECT_EQ(IniIndex, 2);
  GetIniValue("", "PASS", 0, dir.Join("absent.ini").c_str());
  EXPECT_STREQ(IniValue, "");
}

}  // namespace
