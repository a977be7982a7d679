// Tests of analysis in a child process: same result as in process, and a
// crash, a hang or garbage costs one file's details, never the daemon.
#include <signal.h>

#include <cstdlib>

#include "Media/AnalysisChild.h"
#include "Media/FileInfo.h"
#include "TestHome.h"

namespace {

void crash(FileInfo&) {
  abort();
}
void hang(FileInfo&) {
  for (;;) pause();
}
void nameProfile(FileInfo& info) {
  info.mediaType = "X_" + info.fileName;
  info.analyze();
}

FileInfo filled(const std::string& path) {
  FileInfo info;
  info.fill(path);
  return info;
}

class AnalysisChildTest : public TestHome {};

TEST_F(AnalysisChildTest, ChildGivesTheSameRecordAsInProcess) {
  std::string jpeg = home + "/photo.jpg";
  ASSERT_TRUE(
      testhome::ffmpeg({"-f", "lavfi", "-i", "color=c=blue:s=150x150", "-frames:v", "1", jpeg}));
  AnalysisChild child;
  FileInfo inChild = filled(jpeg);
  FileInfo inProcess = inChild;  // one fill: reading the file moves its atime
  std::string errMsg;
  ASSERT_TRUE(child.analyze(inChild, errMsg)) << errMsg;
  inProcess.analyze();
  EXPECT_EQ(AnalysisChild::encode(inProcess), AnalysisChild::encode(inChild));
  EXPECT_EQ(150, inChild.width);
  EXPECT_TRUE(inChild.result);
}

TEST_F(AnalysisChildTest, CrashedChildIsReplaced) {
  AnalysisChild crashing(5, crash);
  FileInfo info = filled(home + "/a.mp3");
  info.artist = "stale";
  std::string errMsg;
  EXPECT_FALSE(crashing.analyze(info, errMsg));
  EXPECT_NE(std::string::npos, errMsg.find("signal 6")) << errMsg;
  EXPECT_EQ("Unknown", info.artist);
  EXPECT_EQ("DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_CI=0", info.details);
  EXPECT_TRUE(info.result);
  // The next file gets a fresh child, which crashes again but answers.
  FileInfo next = filled(home + "/b.mp3");
  EXPECT_FALSE(crashing.analyze(next, errMsg));

  AnalysisChild working(5, nameProfile);
  for (const char* name : {"a.png", "b.mkv", "c.ogg"}) {
    FileInfo file = filled(home + "/" + name);
    ASSERT_TRUE(working.analyze(file, errMsg)) << errMsg;
    EXPECT_EQ(std::string("DLNA.ORG_PN=X_") + name + ";DLNA.ORG_OP=01;DLNA.ORG_CI=0", file.details);
  }
}

TEST_F(AnalysisChildTest, HangingChildIsKilledAtTheTimeLimit) {
  AnalysisChild hanging(1, hang);
  FileInfo info = filled(home + "/slow.avi");
  std::string errMsg;
  time_t start = time(nullptr);
  EXPECT_FALSE(hanging.analyze(info, errMsg));
  EXPECT_LE(time(nullptr) - start, 3);
  EXPECT_EQ("analysis took longer than 1 s", errMsg);
  EXPECT_EQ("DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_CI=0", info.details);
}

TEST(AnalysisChildCodecTest, GarbageIsRefused) {
  FileInfo info;
  info.fill("/m/Ünïcode 'q'.mp3");
  info.fileSize = -1;
  info.ctime = static_cast<time_t>(4102444800LL);
  info.waveFormat.nSamplesPerSec = 4000000000u;
  info.title = std::string("a\0b", 3);
  std::string bytes = AnalysisChild::encode(info);
  FileInfo back;
  ASSERT_TRUE(AnalysisChild::decode(bytes, back));
  EXPECT_EQ(bytes, AnalysisChild::encode(back));

  for (size_t cut = 0; cut < bytes.size(); cut += 7) {
    EXPECT_FALSE(AnalysisChild::decode(bytes.substr(0, cut), back)) << cut;
  }
  EXPECT_FALSE(AnalysisChild::decode(bytes + "x", back));
  std::string badMagic = bytes;
  badMagic[7] ^= 1;
  EXPECT_FALSE(AnalysisChild::decode(badMagic, back));
  std::string hugeLength = bytes;
  hugeLength[8] = '\x7f';  // first text length far past the end
  EXPECT_FALSE(AnalysisChild::decode(hugeLength, back));
}

}  // namespace
