#include "config/textutil.h"

#include <gtest/gtest.h>

#include "support/testutil.h"

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

TEST(TextUtil, ExtractDir) {
  struct Case { const char* path; const char* dir; };
  const Case cases[] = {
      {"/opt/zv/zvmail32", "/opt/zv/"},
      {"C:\\ZV\\ZVMAIL32.EXE", "C:\\ZV\\"},
      {"a\\b/c", "a\\b/"},
      {"a/b\\c", "a/b\\"},
      {"/", "/"},
      {"dir/", "dir/"},
      {"zvmail32", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ExtractDir(c.path), c.dir) << c.path;
}

TEST(TextUtil, NumToText) {
  struct Case { int32_t value; int width; const char* text; };
  const Case cases[] = {
      {0, 0, "0"},
      {65535, 0, "65535"},
      {-42, 0, "-42"},
      {12, 8, "00000012"},
      {-12, 8, "-0000012"},
      {-5, 1, "-5"},
      {123456, 3, "123456"},
      {7, -4, "   7"},
      {-7, -4, "  -7"},
      {12345, -2, "12345"},
      {INT32_MIN, 0, "-2147483648"},
      {INT32_MIN, 12, "-02147483648"},
      {INT32_MAX, -12, "  2147483647"},
      {5, 30, "00000000000000000005"},
      {5, -30, "                   5"},
  };
  for (const auto& c : cases) EXPECT_EQ(NumToText(c.value, c.width), c.text) << c.value << " width " << c.width;
}

TEST(TextUtil, TextToNum) {
  struct Case { const char* text; int32_t value; };
  const Case cases[] = {
      {"600 seconds", 600},
      {" 12a", 12},
      {"   +7", 7},
      {"-15x", -15},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"$", 0},
      {"- 5", 0},
      {"\t5", 0},
      {"$1F", 31},
      {"$ffz", 255},
      {"-$10", -16},
      {"250 OK", 250},
      {"0070000", 70000},
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"99999999999999999999999", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
      {"-99999999999999999999999", INT32_MIN},
      {"$FFFFFFFF", INT32_MAX},
  };
  for (const auto& c : cases) EXPECT_EQ(TextToNum(c.text), c.value) << '"' << c.text << '"';
}

TEST(TextUtil, UpperTextLettersAndCodePage437) {
  EXPECT_EQ(UpperText("abc xyz ABC 09 {}`@"), "ABC XYZ ABC 09 {}`@");
  const unsigned char table[0x28] = {
      0x80, 0x9A, 0x90, 0x41, 0x8E, 0x41, 0x8F, 0x80, 0x45, 0x45, 0x45, 0x49, 0x49, 0x49,
      0x8E, 0x8F, 0x90, 0x92, 0x92, 0x4F, 0x99, 0x4F, 0x55, 0x55, 0x59, 0x99, 0x9A, 0x9B,
      0x9C, 0x9D, 0x9E, 0x9F, 0x41, 0x49, 0x4F, 0x55, 0xA5, 0xA5, 0x41, 0x4F,
  };
  for (int b = 0; b < 256; ++b) {
    unsigned char expected = static_cast<unsigned char>(b);
    if (b >= 'a' && b <= 'z') expected = static_cast<unsigned char>(b - 32);
    if (b >= 0x80 && b <= 0xA7) expected = table[b - 0x80];
    std::string in(1, static_cast<char>(b));
    EXPECT_EQ(static_cast<unsigned char>(UpperText(in)[0]), expected) << "byte " << b;
  }
  const std::string withNul("a\0b", 3);
  EXPECT_EQ(UpperText(withNul), std::string("A\0B", 3));
}

TEST(TextUtil, TrimAndNormaliseDir) {
  struct Case { const char* in; const char* trimmed; const char* dir; };
  const Case cases[] = {
      {"", "", ""},
      {"   ", "", ""},
      {"  /var/zv/in  ", "/var/zv/in", "/var/zv/in/"},
      {"/var/zv/in/", "/var/zv/in/", "/var/zv/in/"},
      {"C:\\ZV\\IN\\", "C:\\ZV\\IN\\", "C:\\ZV\\IN\\"},
      {"\tin\t", "\tin\t", "\tin\t/"},
      {"two words", "two words", "two words/"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TrimSpaces(c.in), c.trimmed) << '"' << c.in << '"';
    EXPECT_EQ(NormaliseDir(c.in), c.dir) << '"' << c.in << '"';
  }
}

TEST(TextUtil, SplitKeyValue) {
  struct Case { std::string line; std::string key; std::string value; };
  const std::string longValue(300, 'v');
  const std::vector<Case> cases = {
      {"SMTP       mail.example.org", "SMTP", "mail.example.org"},
      {"  smtp host  ", "smtp", "host"},
      {"CONNECTION My ISP  line", "CONNECTION", "My ISP  line"},
      {"SMTP=host", "SMTP=host", ""},
      {"SMTP\thost", "SMTP\thost", ""},
      {"DAEMON", "DAEMON", ""},
      {"DAEMON   ", "DAEMON", ""},
      {";DAEMON   600", ";DAEMON", "600"},
      {"", "", ""},
      {"[Auto Dialing]", "[Auto", "Dialing]"},
      {"KEY " + longValue, "KEY", longValue.substr(0, 255)},
  };
  for (const auto& c : cases) {
    auto [key, value] = SplitKeyValue(c.line);
    EXPECT_EQ(key, c.key) << '"' << c.line << '"';
    EXPECT_EQ(value, c.value) << '"' << c.line << '"';
  }
}

TEST(TextUtil, ParseYesNoAndYesNoText) {
  for (const char* on : {"y", "Yes", "t", "TRUE", "1", "1000", "yikes"}) EXPECT_TRUE(ParseYesNo(on)) << on;
  for (const char* off : {"", "no", "0", "on", "false", " yes", "\x9A"}) EXPECT_FALSE(ParseYesNo(off)) << off;
  EXPECT_EQ(YesNoText(true), "YES");
  EXPECT_EQ(YesNoText(false), "NO");
}

// Counts attempts, failing the first `failures` of them with `error`, then
// passing on to the real file system.
class FlakyFiles : public textfile::Service {
 public:
  FlakyFiles(int failures, int error) : failures_(failures), error_(error) {}
  std::FILE* Open(const std::string& name, char mode, unsigned createMode) override {
    ++attempts;
    modes += mode;
    if (attempts <= failures_) {
      errno = error_;
      return nullptr;
    }
    return textfile::RealService()->Open(name, mode, createMode);
  }
  int attempts = 0;
  std::string modes;

 private:
  int failures_;
  int error_;
};

class OpenTextRetryTest : public ::testing::Test {
 protected:
  void TearDown() override { textfile::SetService(nullptr); }
  std::shared_ptr<FlakyFiles> Install(int failures, int error) {
    auto s = std::make_shared<FlakyFiles>(failures, error);
    textfile::SetService(s);
    return s;
  }
  zvtest::TempDir dir;
};

TEST_F(OpenTextRetryTest, RetriesOnlyFailuresOtherThanMissingFileOrPath) {
  struct Case { const char* name; int failures; int error; bool opened; int attempts; };
  const Case cases[] = {
      {"sharing violation cleared after 20", 20, EBUSY, true, 21},
      {"sharing violation beyond 21 attempts", 21, EBUSY, false, 21},
      {"access denied throughout", 1000, EACCES, false, 21},
      {"file not found stops at once", 1000, ENOENT, false, 1},
      {"path not found stops at once", 1000, ENOTDIR, false, 1},
  };
  for (const auto& c : cases) {
    auto files = Install(c.failures, c.error);
    std::FILE* f = reinterpret_cast<std::FILE*>(1);
    bool ok = OpenTextRetry(f, dir.path() + "t.txt", 'w');
    EXPECT_EQ(ok, c.opened) << c.name;
    EXPECT_EQ(files->attempts, c.attempts) << c.name;
    EXPECT_EQ(f != nullptr, c.opened) << c.name;
    if (f) std::fclose(f);
  }
}

TEST_F(OpenTextRetryTest, MissingDirectoryFailsAfterOneAttempt) {
  auto files = Install(0, 0);
  std::FILE* f = nullptr;
  EXPECT_FALSE(OpenTextRetry(f, dir.path() + "no/such/dir/x.txt", 'X'));
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(files->attempts, 1);
  EXPECT_FALSE(fs::exists(dir.path() + "no"));
}

TEST_F(OpenTextRetryTest, EmptyNameAndUnknownModeFailWithoutAttempt) {
  auto files = Install(0, 0);
  std::FILE* f = nullptr;
  EXPECT_FALSE(OpenTextRetry(f, "", 'R'));
  EXPECT_FALSE(OpenTextRetry(f, dir.path() + "t.txt", 'Q'));
  EXPECT_EQ(files->attempts, 0);
}

TEST_F(OpenTextRetryTest, ModesInEitherCase) {
  auto files = Install(0, 0);
  const std::string name = dir.path() + "t.txt";
  std::FILE* f = nullptr;

  EXPECT_FALSE(OpenTextRetry(f, name, 'a')) << "append needs an existing file";
  EXPECT_FALSE(OpenTextRetry(f, name, 'R'));

  ASSERT_TRUE(OpenTextRetry(f, name, 'x')) << "x creates the missing file";
  std::fputs("one\r\n", f);
  std::fclose(f);
  ASSERT_TRUE(OpenTextRetry(f, name, 'A'));
  std::fputs("two\n", f);
  std::fclose(f);
  ASSERT_TRUE(OpenTextRetry(f, name, 'X'));
  std::fputs("three", f);
  std::fclose(f);
  EXPECT_EQ(zvtest::ReadFile(name), "one\r\ntwo\nthree") << "binary: line ends pass unchanged";

  ASSERT_TRUE(OpenTextRetry(f, name, 'r'));
  char buf[4] = {};
  EXPECT_EQ(std::fread(buf, 1, 3, f), 3u);
  EXPECT_EQ(std::string(buf), "one");
  std::fclose(f);

  ASSERT_TRUE(OpenTextRetry(f, name, 'W'));
  std::fclose(f);
  EXPECT_EQ(zvtest::ReadFile(name), "") << "w truncates";
  EXPECT_EQ(files->modes, "ARXAXRW") << "the mode letter reaches the service in upper case";
}

TEST_F(OpenTextRetryTest, CreateModeAppliesToNewFilesOnly) {
  const std::string name = dir.path() + "secret.txt";
  std::FILE* f = nullptr;
  ASSERT_TRUE(OpenTextRetry(f, name, 'W', 0600));
  std::fclose(f);
  EXPECT_EQ(fs::status(name).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  fs::permissions(name, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_TRUE(OpenTextRetry(f, name, 'W', 0600));
  std::fclose(f);
  EXPECT_EQ(fs::status(name).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

}  // namespace
