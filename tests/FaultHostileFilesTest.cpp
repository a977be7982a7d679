// tests/FaultHostileFilesTest.cpp: the real daemon over a library of broken
// media of every catalogued kind and of names that break shells, paths and
// parsers.
//
// One daemon run covers both: the first build meets every file, and one
// service cycle then applies additions and removals of such names through
// the snapshot difference. Afterwards the catalogue must equal the folders,
// the daemon must still be running, and the one crash on purpose must be
// named in the log.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>

#include "FaultSupport.h"

namespace {

using fault::record;

// What each catalogued extension is made of when it is made "for real".
// Musepack has no encoder here: an MP3 stands in, which is a hostile file of
// its own kind (bytes that lie about the extension).
const std::map<std::string, std::vector<std::string>>& recipes() {
  static const std::vector<std::string> audio = {"-f", "lavfi", "-i", "sine=d=1"};
  static const std::vector<std::string> image = {"-f",        "lavfi", "-i", "testsrc=s=64x48",
                                                 "-frames:v", "1"};
  static const std::vector<std::string> video = {
      "-f", "lavfi",      "-i",       "testsrc=d=0.4:r=25:s=176x144", "-f", "lavfi",
      "-i", "sine=d=0.4", "-shortest"};
  auto with = [](std::vector<std::string> base, std::vector<std::string> more) {
    base.insert(base.end(), more.begin(), more.end());
    return base;
  };
  static const std::map<std::string, std::vector<std::string>> table = {
      {"mp3", with(audio, {"-f", "mp3"})},
      {"ogg", with(audio, {"-c:a", "libvorbis", "-f", "ogg"})},
      {"flac", with(audio, {"-f", "flac"})},
      {"pcm", with(audio, {"-f", "s16le"})},
      {"wav", with(audio, {"-f", "wav"})},
      {"asf-audio", with(audio, {"-c:a", "wmav2", "-f", "asf"})},
      {"jpg", with(image, {"-c:v", "mjpeg", "-f", "image2"})},
      {"bmp", with(image, {"-c:v", "bmp", "-f", "image2"})},
      {"png", with(image, {"-c:v", "png", "-f", "image2"})},
      {"gif", with(image, {"-c:v", "gif", "-f", "image2"})},
      {"tif", with(image, {"-c:v", "tiff", "-f", "image2"})},
      {"mp4", with(video, {"-c:v", "mpeg4", "-f", "mp4"})},
      {"vob", with(video, {"-c:v", "mpeg2video", "-c:a", "mp2", "-f", "vob"})},
      {"avi", with(video, {"-c:v", "mpeg4", "-c:a", "mp2", "-f", "avi"})},
      {"asf", with(video, {"-c:v", "wmv2", "-c:a", "wmav2", "-f", "asf"})},
      {"rm", with(video, {"-c:v", "rv10", "-c:a", "ac3", "-f", "rm"})},
      {"ts", with(video, {"-c:v", "mpeg2video", "-c:a", "mp2", "-f", "mpegts"})},
      {"mov", with(video, {"-c:v", "mpeg4", "-f", "mov"})},
      {"mkv", with(video, {"-c:v", "mpeg4", "-f", "matroska"})},
  };
  return table;
}

// The recipe for each extension of the media type table.
const std::map<std::string, std::string> kRecipeOf = {
    {"mp3", "mp3"},       {"ogg", "ogg"}, {"mpc", "mp3"},  {"flac", "flac"}, {"pcm", "pcm"},
    {"wma", "asf-audio"}, {"wav", "wav"}, {"jpeg", "jpg"}, {"jpg", "jpg"},   {"bmp", "bmp"},
    {"png", "png"},       {"gif", "gif"}, {"tif", "tif"},  {"tiff", "tif"},  {"mp4", "mp4"},
    {"mpeg", "vob"},      {"mpg", "vob"}, {"avi", "avi"},  {"divx", "avi"},  {"xvid", "avi"},
    {"wmv", "asf"},       {"vob", "vob"}, {"rm", "rm"},    {"rmvb", "rm"},   {"tts", "ts"},
    {"mov", "mov"},       {"mkv", "mkv"}, {"m2ts", "ts"},  {"m2t", "ts"},    {"mts", "ts"},
    {"m4v", "mp4"},       {"3gp", "mp4"}, {"asf", "asf"},
};

void putLittleEndian(std::string& bytes, size_t at, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

void putBigEndian(std::string& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (24 - 8 * i)) & 0xff);
}

class FaultHostileFilesTest : public FaultTest {
 protected:
  static void SetUpTestSuite() {
    FaultTest::SetUpTestSuite();
    if (OMBRIX_CROSSCOMPILING) return;
    recipeDir = testhome::makeTempDir("ombrix-fault-recipes");
    for (const auto& [name, args] : recipes()) {
      std::vector<std::string> all = args;
      all.push_back(recipeDir + "/real." + name);
      if (!testhome::ffmpeg(all)) failedRecipe = name;
    }
  }
  static void TearDownTestSuite() {
    testhome::removeTree(recipeDir);
    FaultTest::TearDownTestSuite();
  }

  void SetUp() override {
    FaultTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(failedRecipe, "") << "ffmpeg could not make the " << failedRecipe << " file";
    hostile = lib + "/hostile";
    odd = lib + "/odd";
    ASSERT_EQ(mkdir(hostile.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
  }

  static std::string real(const std::string& ext) {
    return testhome::readFile(recipeDir + "/real." + kRecipeOf.at(ext));
  }
  void write(const std::string& path, const std::string& bytes) {
    testhome::writeFile(path, bytes);
    ASSERT_EQ(testhome::readFile(path).size(), bytes.size()) << path;
  }

  // Zero bytes, random bytes and the first half of a real file, for every
  // catalogued extension.
  void makeBrokenOfEveryKind() {
    std::mt19937 random(6);
    for (const auto& [ext, recipe] : kRecipeOf) {
      std::string noise(4096, '\0');
      for (char& c : noise) c = static_cast<char>(random());
      write(hostile + "/zero." + ext, "");
      write(hostile + "/random." + ext, noise);
      std::string whole = real(ext);
      write(hostile + "/cut." + ext, whole.substr(0, whole.size() / 2));
    }
  }

  void makeSpecialCases() {
    // A JPEG whose frame header claims 99-bit samples: libjpeg gives up in
    // the middle of the header read.
    std::string jpeg = real("jpg");
    size_t frame = jpeg.find("\xFF\xC0");
    ASSERT_NE(frame, std::string::npos);
    jpeg[frame + 4] = 99;
    write(hostile + "/corrupt-header.jpg", jpeg);
    // A PNG 4294967295 pixels wide: past the signed range of the record.
    std::string png = real("png");
    putBigEndian(png, 16, 0xFFFFFFFFu);
    write(hostile + "/huge-width.png", png);
    // An MPEG program stream without video, hence without a sequence header,
    // made 200 MB long (sparse): the header scan has to run to its end.
    const std::string mpeg = hostile + "/no-sequence-header.mpg";
    ASSERT_TRUE(
        testhome::ffmpeg({"-f", "lavfi", "-i", "sine=d=1", "-c:a", "mp2", "-f", "mpeg", mpeg}));
    ASSERT_EQ(truncate(mpeg.c_str(), kMpegSize), 0);
    // ASF files whose header object, object count and first child object
    // claim far more than the file holds.
    for (const char* name : {"lying-sizes.asf", "lying-sizes.wma"}) {
      std::string asf = real(std::string(name).substr(12));
      putLittleEndian(asf, 16, ~uint64_t{0}, 8);
      putLittleEndian(asf, 24, 0xFFFFFFFFu, 4);
      putLittleEndian(asf, 30 + 16, uint64_t{1} << 62, 8);
      write(hostile + "/" + name, asf);
    }
    // The test build makes the analysis abort on this name.
    write(hostile + "/ombrix-crash-test.mp3", real("mp3"));
  }

  // Names that a shell would split or run, quotes for the SQL, non-Latin
  // UTF-8, a path one byte short of PATH_MAX, and 100 nested directories.
  void makeOddNames(const std::string& dir) {
    for (const char* name :
         {"with space.mp3", "it's \"quoted\".jpg", "semi;colon.png", "$(touch pwned).jpg",
          "`touch pwned`.mp3", "back\\slash.jpg", "percent %s %n.jpg", "tab\there.mp3",
          "-starts-with-dash.jpg", "Ελληνικά.jpg", "日本語の歌.mp3"}) {
      const std::string ext = std::string(name).substr(std::string(name).rfind('.') + 1);
      write(dir + "/" + name, real(ext));
    }
    std::string deep = dir + "/deep";
    for (int level = 1; level <= 100; ++level) {
      deep += "/d" + std::to_string(level);
      ASSERT_EQ(testhome::runProgram({"mkdir", "-p", deep}), 0);
    }
    write(deep + "/bottom.mp3", real("mp3"));
  }

  // A file whose path is 4095 bytes long, the most PATH_MAX allows, and
  // beside it two directories that end past the limit (made relative to an
  // open directory): the inner one can be neither walked nor catalogued.
  void makeLongPaths() {
    std::string dir = odd + "/long";
    const std::string component(200, 'L');
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    while (dir.size() + 1 + component.size() + 1 + 200 < 4095) {
      dir += "/" + component;
      ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir.size();
    }
    longest = dir + "/";
    longest += std::string(4095 - longest.size() - 4, 'f') + ".jpg";
    ASSERT_EQ(longest.size(), 4095u);
    write(longest, real("jpg"));

    FdHandle at(open(dir.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(at.isOpen());
    const std::string wide(250, 'P');
    for (int level = 0; level < 2; ++level) {
      ASSERT_EQ(mkdirat(at.get(), wide.c_str(), 0755), 0);
      at.reset(openat(at.get(), wide.c_str(), O_RDONLY | O_DIRECTORY));
      ASSERT_TRUE(at.isOpen());
    }
    FdHandle file(openat(at.get(), "past-the-limit.jpg", O_WRONLY | O_CREAT, 0644));
    ASSERT_TRUE(file.isOpen());
  }

  std::string column(const std::string& name, const std::string& path) const {
    return catalogtest::value(dbPath, "select " + name +
                                          " from OBJECTS o join FILEDETAIL f on f.ID = o.ID " +
                                          "where o.PATH = '" + Util::escapeQuote(path) + "'");
  }

  // A directory whose name ends in a line feed, holding the directories of
  // target's path and then target's file name: find prints the path on two
  // lines, the second of which is target.
  void makeLineFeedName(const std::string& name, const std::string& target) {
    std::string dir = odd + "/" + name + "\n" + Util::getParentPath(target);
    ASSERT_EQ(testhome::runProgram({"mkdir", "-p", dir}), 0);
    write(dir + "/" + Util::getFileName(target), real("jpg"));
  }

  // What the catalogue holds that differs from the folders, leaving out
  // names holding a line feed: the snapshot lines cannot tell them apart, so
  // they reach (or leave) the catalogue at the next start's full check.
  std::vector<std::string> faultsButLineFeeds() const {
    std::vector<std::string> faults = fault::catalogueFaults(dbPath, {hostile, odd});
    faults.erase(std::remove_if(faults.begin(), faults.end(),
                                [](const std::string& f) { return f.find('\n') != f.npos; }),
                 faults.end());
    return faults;
  }

  static constexpr off_t kMpegSize = 200 * 1024 * 1024;
  static inline std::string recipeDir;
  static inline std::string failedRecipe;
  std::string hostile, odd, longest;
};

TEST_F(FaultHostileFilesTest, BrokenFilesAndOddNamesAreAllCatalogued) {
  makeBrokenOfEveryKind();
  makeSpecialCases();
  makeOddNames(odd);
  makeLongPaths();
  // Its second line names a catalogued file, which must not be deleted when
  // the directory goes.
  makeLineFeedName("stale", odd + "/semi;colon.png");
  if (HasFatalFailure()) return;
  fault::Daemon daemon(launch({"6", hostile, odd}));
  ASSERT_TRUE(waitForLog("Build DB Time = ", 240)) << log();
  EXPECT_TRUE(daemon.isRunning());
  EXPECT_EQ(fault::catalogueFaults(dbPath, {hostile, odd}), std::vector<std::string>{});
  noteRows("built");

  // While it runs: the odd names again in a new folder, a few removed.
  ASSERT_EQ(mkdir((odd + "/later").c_str(), 0755), 0);
  makeOddNames(odd + "/later");
  for (const std::string& gone : {odd + "/with space.mp3", odd + "/$(touch pwned).jpg",
                                  odd + "/日本語の歌.mp3", hostile + "/random.mp3"}) {
    ASSERT_EQ(unlink(gone.c_str()), 0) << gone;
  }
  ASSERT_EQ(testhome::runProgram({"rm", "-r", odd + "/stale\n"}), 0);
  // Its second line names a file outside every shared folder, which must not
  // be catalogued (and so offered on the network).
  const std::string outside = home + "/outside/secret.jpg";
  ASSERT_EQ(mkdir((home + "/outside").c_str(), 0755), 0);
  write(outside, real("jpg"));
  makeLineFeedName("evil", outside);
  ASSERT_TRUE(waitForLog("Adjust DB Time = ", 60)) << log();
  EXPECT_TRUE(daemon.isRunning());
  EXPECT_EQ(faultsButLineFeeds(), std::vector<std::string>{});
  EXPECT_NE(log().find(record("Ombrix", 168, "not below a shared folder: " + outside + "\n")),
            std::string::npos);
  noteRows("adjusted");
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.waitForExit(), 0);
  const std::string text = log();

  // A restart's full check brings in (and clears out) the line-feed names.
  fault::Daemon restarted(launch({"6", hostile, odd}));
  ASSERT_TRUE(waitForLog("Check DB Time = ", 120)) << log();
  restarted.signal(SIGTERM);
  EXPECT_EQ(restarted.waitForExit(), 0);
  EXPECT_EQ(fault::catalogueFaults(dbPath, {hostile, odd}), std::vector<std::string>{});
  noteRows("restarted");

  // The crash on purpose is the only analysis that failed, and it is named.
  EXPECT_EQ(fault::count(text, "analysis failed: "), 1u) << text;
  EXPECT_NE(text.find(record("Ombrix", 386,
                             "analysis failed: " + hostile +
                                 "/ombrix-crash-test.mp3 (analysis process "
                                 "killed by signal 6 (Aborted))\n")),
            std::string::npos);
  EXPECT_EQ(column("DETAILS", hostile + "/ombrix-crash-test.mp3"),
            "DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_CI=0");
  EXPECT_EQ(column("IV_WIDTH", hostile + "/huge-width.png"), "2147483647");
  // The long scan finished inside the time limit: the profile comes from it.
  EXPECT_EQ(column("DETAILS", hostile + "/no-sequence-header.mpg"),
            "DLNA.ORG_PN=MPEG1;DLNA.ORG_OP=01;DLNA.ORG_CI=0");
  EXPECT_EQ(column("FILE_SIZE", hostile + "/no-sequence-header.mpg"), std::to_string(kMpegSize));
  EXPECT_NE(column("o.ID", longest), "");
  // Nothing in a name was ever run by a shell.
  EXPECT_FALSE(Util::isFileExist(home + "/pwned"));
}

}  // namespace
