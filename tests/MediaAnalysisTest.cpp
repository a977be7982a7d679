// Tests of FileInfo::analyze: the dispatch by media kind, the DLNA fragment,
// and a corpus of hostile real files that must leave the process running.
#include <dirent.h>
#include <sys/stat.h>

#include "Common/Handles.h"
#include "MediaFixtures.h"

namespace {

const char* const kExternalMedia = OMBRIX_SOURCE_DIR "/../shared/external-media";

// Every regular file below root, depth first.
void listFiles(const std::string& root, std::vector<std::string>& files) {
  DirHandle dir(opendir(root.c_str()));
  if (!dir) return;
  while (const dirent* entry = readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = root + "/" + name;
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) continue;
    if (S_ISDIR(status.st_mode)) listFiles(path, files);
    if (S_ISREG(status.st_mode)) files.push_back(path);
  }
}

class MediaAnalysisTest : public MediaSuite {
 protected:
  static void SetUpTestSuite() {
    startSuite("ombrix-analysis");
    const std::vector<std::string> tone = {"-f", "lavfi", "-i", "sine=d=1", "-metadata", "title=T"};
    made = made && media::make(dir + "/song.mp3", tone) && media::make(dir + "/song.ogg", tone) &&
           media::make(dir + "/thumb.jpg", media::stillFrame(150, 150));
  }
};

TEST_F(MediaAnalysisTest, AnalysedFilesGetTheDlnaFragment) {
  struct Case {
    const char* name;
    const char* details;
  };
  const Case cases[] = {{"song.mp3", "DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_CI=0"},
                        {"thumb.jpg", "DLNA.ORG_PN=JPEG_TN;DLNA.ORG_OP=01;DLNA.ORG_CI=0"},
                        {"song.ogg", "DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_CI=0"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FileInfo info = media::analyzed(dir + "/" + c.name);
    EXPECT_EQ(c.details, info.details);
    EXPECT_TRUE(info.result);
  }
}

TEST_F(MediaAnalysisTest, KindDecidesWhetherAFragmentIsComposed) {
  FileInfo playlist = media::analyzed(write("list.m3u", "song.mp3\n"));
  EXPECT_EQ(ObjType::Playlist, playlist.objType);
  EXPECT_EQ("", playlist.details);
  EXPECT_FALSE(playlist.result);

  FileInfo none = media::analyzed(dir + "/song.txt");
  EXPECT_EQ("", none.details);
  EXPECT_FALSE(none.result);

  // A kind outside the table runs no analyser but still gets a fragment.
  FileInfo unknownKind;
  unknownKind.fill(dir + "/song.mp3");
  unknownKind.objType = static_cast<ObjType>(4);
  unknownKind.analyze();
  EXPECT_EQ("Unknown", unknownKind.title);
  EXPECT_EQ("DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_CI=0", unknownKind.details);
  EXPECT_TRUE(unknownKind.result);
}

// Files other projects wrote to break their readers: truncated frames, bogus
// sizes, loops, 12-bit and arithmetic-coded JPEGs. Each must be analysed
// without a crash, hang or leak, and the plain ones must still read right.
TEST_F(MediaAnalysisTest, HostileRealFilesLeaveTheProcessRunning) {
  std::vector<std::string> files;
  listFiles(kExternalMedia, files);
  if (files.empty()) GTEST_SKIP() << kExternalMedia << " is absent: hostile-file corpus not run";

  int analysed = 0;
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    FileInfo info = media::analyzed(path);
    bool isMedia = info.objType == ObjType::Image || info.objType == ObjType::Audio ||
                   info.objType == ObjType::Video;
    EXPECT_EQ(isMedia, info.result);
    if (!isMedia) continue;
    ++analysed;
    EXPECT_EQ(0u, info.details.rfind("DLNA.ORG_PN=" + info.mediaType + ";", 0));
    EXPECT_GE(info.width, 0);
    EXPECT_GE(info.height, 0);
    // PngSuite's basic images are all 32 x 32.
    if (info.fileName.rfind("basn", 0) == 0) {
      EXPECT_EQ(32, info.width);
      EXPECT_EQ(32, info.height);
      EXPECT_EQ("PNG_SM_ICO", info.mediaType);
    }
    if (info.fileName == "testorig.jpg") {
      EXPECT_EQ(227, info.width);
      EXPECT_EQ(149, info.height);
      EXPECT_EQ("JPEG_SM", info.mediaType);
    }
  }
  EXPECT_GT(analysed, 100);
}

}  // namespace
