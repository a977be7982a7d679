// Tests of the media type table and the per-file record.
#include "Media/FileInfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "Common/Handles.h"
#include "TestHome.h"

namespace {

TEST(MediaTypesTest, LookupsIgnoreCaseButNothingElse) {
  struct Case {
    const char* ext;
    ObjType type;
    const char* mime;
  };
  const Case cases[] = {{"mp3", ObjType::Audio, "audio/mpeg"},
                        {"Mp3", ObjType::Audio, "audio/mpeg"},
                        {"JPG", ObjType::Image, "image/jpeg"},
                        {"TIFF", ObjType::Image, "image/tif"},
                        {"mpc", ObjType::Audio, "application/octet-stream"},
                        {"m3u", ObjType::Playlist, "audio/x-mpegurl"},
                        {"asf", ObjType::Video, "video/x-ms-asf"},
                        {"", ObjType::None, ""},
                        {"mp3 ", ObjType::None, ""},
                        {".mp3", ObjType::None, ""},
                        {"m4a", ObjType::None, ""},
                        {"webm", ObjType::None, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("ext '") + c.ext + "'");
    EXPECT_EQ(c.type, lookupObjType(c.ext));
    EXPECT_EQ(c.mime, lookupMimeType(c.ext));
  }
  int rows = 0;
  while (MediaTypeTable[rows].ext[0] != '\0') ++rows;
  EXPECT_EQ(34, rows);
}

TEST(FileInfoTest, NamePartsOfTrickyPaths) {
  struct Case {
    const char* path;
    const char* dir;
    const char* name;
    const char* ext;
    ObjType type;
  };
  const Case cases[] = {{"/music/Song.MP3", "/music/", "Song.MP3", "MP3", ObjType::Audio},
                        {"/music/a.b/track", "/music/a.b/", "track", "", ObjType::None},
                        {"/music/file.", "/music/", "file.", "", ObjType::None},
                        {"/music/.mp3", "/music/", ".mp3", "mp3", ObjType::Audio},
                        {"/m/song.backup.mp3", "/m/", "song.backup.mp3", "mp3", ObjType::Audio},
                        {"song.mp3", "", "song.mp3", "", ObjType::None},
                        {"/m/list.m3u", "/m/", "list.m3u", "m3u", ObjType::Playlist}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    FileInfo info;
    info.fill(c.path);
    EXPECT_EQ(c.path, info.fullPathName);
    EXPECT_EQ(c.dir, info.path);
    EXPECT_EQ(c.name, info.fileName);
    EXPECT_EQ(c.ext, info.extName);
    EXPECT_EQ(c.type, info.objType);
    EXPECT_EQ(0, info.fileSize);  // none of these exist
  }
}

class FileInfoFileTest : public TestHome {};

TEST_F(FileInfoFileTest, SizeAndTimesFromTheFileEvenAbove4GiB) {
  std::string path = home + "/big.mkv";
  {
    FdHandle fd(open(path.c_str(), O_WRONLY | O_CREAT, 0644));
    ASSERT_TRUE(fd.isOpen());
    ASSERT_EQ(0, ftruncate(fd.get(), 5LL * 1024 * 1024 * 1024 + 3));  // sparse
  }
  struct timespec times[2] = {{1000, 0}, {2000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));

  FileInfo info;
  info.fill(path);
  EXPECT_EQ(5LL * 1024 * 1024 * 1024 + 3, info.fileSize);
  EXPECT_EQ(1000, info.atime);
  EXPECT_EQ(2000, info.mtime);
  EXPECT_GT(info.ctime, 2000);
  EXPECT_EQ("video/x-matroska", info.mimeType);

  info.reset();
  EXPECT_EQ(0, info.fileSize);
  EXPECT_EQ("Unknown", info.genre);
  EXPECT_EQ("00:00:00.000", info.duration);
}

TEST(FileInfoTest, AnalyzeComposesDetailsExceptForPlaylists) {
  FileInfo playlist;
  playlist.fill("/m/list.m3u");
  playlist.analyze();
  EXPECT_EQ("", playlist.details);
  EXPECT_FALSE(playlist.result);

  FileInfo odd;
  odd.fill("/m/x.bmp");
  odd.objType = static_cast<ObjType>(4);
  odd.mediaType = "X";
  odd.analyze();
  EXPECT_EQ("DLNA.ORG_PN=X;DLNA.ORG_OP=01;DLNA.ORG_CI=0", odd.details);
  EXPECT_TRUE(odd.result);
}

TEST(FileInfoTest, DumpPrintsEveryFieldButDetails) {
  FileInfo info;
  info.fill("/m/a.mp3");
  info.waveFormat.nChannels = 2;
  info.ctime = static_cast<time_t>(4102444800LL);  // 2100-01-01, past 2038
  std::ostringstream out;
  info.dump(out);
  std::string text = out.str();
  EXPECT_EQ(0u, text.find("fullPathName: /m/a.mp3\npath: /m/\nfileName: a.mp3\nextName: mp3\n"));
  EXPECT_NE(std::string::npos, text.find("\nctime: 4102444800\n"));
  EXPECT_NE(std::string::npos, text.find("\nwaveFormat.nChannels: 2\n"));
  EXPECT_NE(std::string::npos, text.find("\nbitMapHeader.clrImportant: 0\nresult: 0\n"));
  EXPECT_EQ(39, std::count(text.begin(), text.end(), '\n'));
}

}  // namespace
