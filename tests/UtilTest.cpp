// Tests of the path, string and character-set helpers.
#include "Common/Util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestHome.h"

namespace {

struct Case {
  const char* input;
  const char* expected;
};

TEST(UtilTest, SlashHelpersTouchOneSlashOnly) {
  const Case removeCases[] = {{"/music/", "/music"}, {"/music//", "/music/"}, {"/", ""},
                              {"", ""}, {"music", "music"}};
  for (const Case& c : removeCases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(c.expected, Util::removeLastSlash(c.input));
  }
  const Case addCases[] = {{"/music", "/music/"}, {"/music/", "/music/"}, {"", "/"}};
  for (const Case& c : addCases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(c.expected, Util::addLastSlash(c.input));
  }
}

TEST(UtilTest, FileNameAndParentOfTrickyPaths) {
  const Case nameCases[] = {{"/a/b/song.mp3", "song.mp3"}, {"/a/b/", "b"},
                            {"song.mp3", "song.mp3"},        {"/", ""},
                            {"/a.b/c.", "c."},               {"/x/.hidden", ".hidden"}};
  for (const Case& c : nameCases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(c.expected, Util::getFileName(c.input));
  }
  const Case parentCases[] = {{"/a/b/song.mp3", "/a/b"}, {"/a/b/", "/a"}, {"/a", ""},
                              {"music", "music"},        {"/a.b/c", "/a.b"}};
  for (const Case& c : parentCases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(c.expected, Util::getParentPath(c.input));
  }
}

TEST(UtilTest, CaseFoldingLeavesUtf8Alone) {
  EXPECT_EQ("track.mp3", Util::toLower("Track.MP3"));
  EXPECT_EQ("TRACK.MP3", Util::toUpper("Track.mp3"));
  EXPECT_EQ("caf\xc3\x89", Util::toLower("CAF\xc3\x89"));  // É stays as its bytes
}

TEST(UtilTest, TrimKeepsTabsAndTrailingLineFeeds) {
  std::string text = "  \nx\t  ";
  EXPECT_EQ("x\t", Util::trim(text));
  EXPECT_EQ("x\t", text);
  std::string lineFeedAtEnd = " a\n";
  EXPECT_EQ("a\n", Util::trim(lineFeedAtEnd));
  std::string blanks = "   ";
  EXPECT_EQ("", Util::trim(blanks));
}

TEST(UtilTest, EscapeQuoteDoublesEachQuoteOnce) {
  EXPECT_EQ("it''s", Util::escapeQuote("it's"));
  EXPECT_EQ("''''", Util::escapeQuote("''"));
  EXPECT_EQ("Rock ''n'' Roll", Util::escapeQuote("Rock 'n' Roll"));
  EXPECT_EQ("back\\slash \"q\"", Util::escapeQuote("back\\slash \"q\""));
}

class UtilFileTest : public TestHome {};

TEST_F(UtilFileTest, ExistenceTestsByFileType) {
  std::string file = home + "/song.mp3";
  testhome::writeFile(file, "data");
  std::string link = home + "/link.mp3";
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  std::string dangling = home + "/dangling.mp3";
  ASSERT_EQ(symlink((home + "/nowhere").c_str(), dangling.c_str()), 0);
  std::string fifo = home + "/pipe.mp3";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);

  EXPECT_TRUE(Util::isFileExist(file));
  EXPECT_TRUE(Util::isFileExist(link));
  EXPECT_FALSE(Util::isFileExist(dangling));
  EXPECT_FALSE(Util::isFileExist(fifo));  // returns at once, no writer needed
  EXPECT_FALSE(Util::isFileExist(home));
  EXPECT_FALSE(Util::isFileExist("/dev/null"));

  EXPECT_TRUE(Util::isDirExist(home));
  EXPECT_TRUE(Util::isDirExist(home + "/"));
  EXPECT_FALSE(Util::isDirExist(file));
  EXPECT_FALSE(Util::isDirExist(fifo));
}

TEST_F(UtilFileTest, UnreadableEntriesCountAsAbsent) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file; permission test is meaningless";
  std::string file = home + "/secret.mp3";
  testhome::writeFile(file, "data");
  ASSERT_EQ(chmod(file.c_str(), 0), 0);
  EXPECT_FALSE(Util::isFileExist(file));
  std::string dir = home + "/closed";
  ASSERT_EQ(mkdir(dir.c_str(), 0), 0);
  EXPECT_FALSE(Util::isDirExist(dir));
}

// "中文" in BIG5 and in UTF-8.
const char kBig5Chinese[] = "\xa4\xa4\xa4\xe5";
const char kUtf8Chinese[] = "\xe4\xb8\xad\xe6\x96\x87";

TEST(UtilConvertTest, Big5ToUtf8) {
  EXPECT_EQ(kUtf8Chinese, Util::convertToUtf8(kBig5Chinese, 4, "BIG5"));
  EXPECT_EQ("plain ascii", Util::convertToUtf8("plain ascii", 11, "BIG5"));
  // The last byte opens a double-byte character that never completes.
  EXPECT_EQ(std::string(kUtf8Chinese, 3), Util::convertToUtf8(kBig5Chinese, 3, "BIG5"));
  // An invalid sequence ends the text converted so far.
  EXPECT_EQ("ab", Util::convertToUtf8("ab\xff\xff" "cd", 6, "BIG5"));
  EXPECT_EQ("", Util::convertToUtf8("", 0, "BIG5"));
}

TEST(UtilConvertTest, Ucs2InHostOrderStopsAtZero) {
  const uint16_t units[] = {'a', 'b', 'c', 0, 'd', 0x4e2d};
  EXPECT_EQ("abc", Util::convertToUtf8(reinterpret_cast<const char*>(units), sizeof units, "UCS2"));
  const uint16_t chinese[] = {0x4e2d, 0x6587};
  EXPECT_EQ(kUtf8Chinese,
            Util::convertToUtf8(reinterpret_cast<const char*>(chinese), sizeof chinese, "UCS2"));
  // An odd byte count leaves half a unit: the whole units still convert.
  EXPECT_EQ("a", Util::convertToUtf8(reinterpret_cast<const char*>(units), 3, "UCS2"));
}

TEST(UtilConvertTest, UnknownEncodingGivesEmpty) {
  EXPECT_EQ("", Util::convertToUtf8("abc", 3, "NO-SUCH-ENCODING"));
}

}  // namespace
