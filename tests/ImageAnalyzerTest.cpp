// Tests of the image analyser: JPEG and PNG sizes and profiles, its log
// records, and broken files that must leave the process running.
#include <utility>

#include "Common/Logger.h"
#include "Media/ImageAnalyzer.h"
#include "MediaFixtures.h"

namespace {

struct SizeCase {
  int width;
  int height;
  const char* profile;
};

std::string sizeLabel(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

class ImageAnalyzerTest : public TestHome {
 protected:
  static void SetUpTestSuite() {
    dir = testhome::makeTempDir("ombrix-image");
    for (const auto& [width, height] : kJpegSizes) {
      made = made && media::make(dir + "/" + sizeLabel(width, height) + ".jpg",
                                 media::stillFrame(width, height));
    }
    for (const auto& [width, height] : kPngSizes) {
      made = made && media::make(dir + "/" + sizeLabel(width, height) + ".png",
                                 media::stillFrame(width, height));
    }
  }
  static void TearDownTestSuite() { testhome::removeTree(dir); }

  void SetUp() override {
    TestHome::SetUp();
    ASSERT_TRUE(made) << "ffmpeg could not make the test images in " << dir;
    logPath = home + "/nstemp/Ombrix.log";
    Logger::getInstance().setLogPath(logPath);
    Logger::getInstance().setLevel(5);
  }
  void TearDown() override {
    Logger::getInstance().setLevel(0);
    TestHome::TearDown();
  }

  static constexpr std::pair<int, int> kJpegSizes[] = {
      {48, 48}, {49, 48}, {120, 120}, {640, 480}, {1024, 768}, {1920, 1080}, {4097, 100}};
  static constexpr std::pair<int, int> kPngSizes[] = {
      {120, 120}, {120, 119}, {161, 161}, {5000, 10}};
  static inline std::string dir;
  static inline bool made = true;
  std::string logPath;
};

TEST_F(ImageAnalyzerTest, JpegProfileFollowsSize) {
  const SizeCase cases[] = {
      {48, 48, "JPEG_SM_ICO"}, {49, 48, "JPEG_LRG_ICO"}, {120, 120, "JPEG_LRG_ICO"},
      {121, 120, "JPEG_TN"},   {160, 160, "JPEG_TN"},    {161, 160, "JPEG_SM"},
      {640, 480, "JPEG_SM"},   {480, 640, "JPEG_MED"},   {641, 480, "JPEG_MED"},
      {640, 481, "JPEG_MED"},  {1024, 768, "JPEG_MED"},  {768, 1024, "JPEG_LRG"},
      {1025, 768, "JPEG_LRG"}, {4096, 4096, "JPEG_LRG"}, {4097, 100, ""},
      {100, 4097, ""},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(sizeLabel(c.width, c.height));
    EXPECT_EQ(c.profile, ImageAnalyzer::jpegProfile(c.width, c.height));
  }
}

TEST_F(ImageAnalyzerTest, PngProfileFollowsSize) {
  const SizeCase cases[] = {
      {48, 48, "PNG_SM_ICO"}, {49, 48, "PNG_TN"},    {120, 120, "PNG_LRG_ICO"},
      {120, 119, "PNG_TN"},   {100, 100, "PNG_TN"},  {160, 160, "PNG_TN"},
      {161, 161, "PNG_LRG"},  {200, 100, "PNG_LRG"}, {4096, 4096, "PNG_LRG"},
      {4097, 10, ""},         {5000, 10, ""},        {10, 4097, ""},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(sizeLabel(c.width, c.height));
    EXPECT_EQ(c.profile, ImageAnalyzer::pngProfile(c.width, c.height));
  }
}

TEST_F(ImageAnalyzerTest, RealFilesGetTheirSizeAndProfile) {
  // A capitalised extension is still a JPEG.
  testhome::writeFile(dir + "/LOUD.JPG", testhome::readFile(dir + "/49x48.jpg"));
  struct Case {
    const char* name;
    int width, height;
    const char* profile;
  };
  const Case cases[] = {
      {"48x48.jpg", 48, 48, "JPEG_SM_ICO"}, {"LOUD.JPG", 49, 48, "JPEG_LRG_ICO"},
      {"640x480.jpg", 640, 480, "JPEG_SM"}, {"1024x768.jpg", 1024, 768, "JPEG_MED"},
      {"4097x100.jpg", 4097, 100, ""},      {"120x120.png", 120, 120, "PNG_LRG_ICO"},
      {"120x119.png", 120, 119, "PNG_TN"},  {"161x161.png", 161, 161, "PNG_LRG"},
      {"5000x10.png", 5000, 10, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FileInfo info = media::analyzed(dir + "/" + c.name);
    EXPECT_EQ(c.width, info.width);
    EXPECT_EQ(c.height, info.height);
    EXPECT_EQ(c.profile, info.mediaType);
    EXPECT_EQ(std::string("DLNA.ORG_PN=") + c.profile + ";DLNA.ORG_OP=01;DLNA.ORG_CI=0",
              info.details);
  }
  FileInfo large;
  large.fill(dir + "/4097x100.jpg");
  EXPECT_EQ(0, ImageAnalyzer::jpgAnalyze(large));  // read, even without a profile
}

TEST_F(ImageAnalyzerTest, SizesAreLoggedAtLevelFive) {
  media::analyzed(dir + "/1920x1080.jpg");
  media::analyzed(dir + "/120x120.png");
  const std::string expected =
      "[Media/ImageAnalyzer].[52]\n  jpgAnalyze: 1920*1080\n\n"
      "[Media/ImageAnalyzer].[222]\n  setPngType: 120*120\n\n";
  EXPECT_EQ(expected, testhome::readFile(logPath));

  Logger::getInstance().setLevel(4);
  media::analyzed(dir + "/1920x1080.jpg");
  EXPECT_EQ(expected, testhome::readFile(logPath));
}

TEST_F(ImageAnalyzerTest, BrokenFilesLeaveDefaultsAndNoRecord) {
  const std::string jpeg = testhome::readFile(dir + "/640x480.jpg");
  const std::string png = testhome::readFile(dir + "/120x120.png");
  // The start of frame marker (FF C0) lies within the first 200 bytes, the
  // start of scan (FF DA) after them: the header is cut after the size.
  ASSERT_LT(jpeg.find("\xFF\xC0"), 200u);
  ASSERT_GT(jpeg.find("\xFF\xDA"), 200u);
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"truncated.jpg", jpeg.substr(0, 200)},
      {"no-image.jpg", std::string("\xFF\xD8\xFF\xD9", 4)},
      {"bad-marker.jpeg", std::string("\xFF\xD8\xFF\x01", 4) + std::string(500, '\x55')},
      {"not-jpeg.jpg", "plain text, not a picture"},
      {"empty.jpg", ""},
      {"jpeg-inside.png", jpeg},
      {"cut-header.png", png.substr(0, 20)},
      {"signature-only.png", png.substr(0, 8)},
      {"empty.png", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testhome::writeFile(dir + "/" + c.name, c.bytes);
    FileInfo info = media::analyzed(dir + "/" + c.name);
    EXPECT_EQ(0, info.width);
    EXPECT_EQ(0, info.height);
    EXPECT_EQ("", info.mediaType);
    EXPECT_TRUE(info.result);
  }
  FileInfo missing;
  missing.fill(dir + "/missing.jpg");
  EXPECT_EQ(-1, ImageAnalyzer::jpgAnalyze(missing));
  EXPECT_EQ(-1, ImageAnalyzer::setPngType(missing));
  EXPECT_EQ("", testhome::readFile(logPath));
}

TEST_F(ImageAnalyzerTest, OtherImageKindsAreNotRead) {
  testhome::writeFile(dir + "/photo.bmp", testhome::readFile(dir + "/640x480.jpg"));
  FileInfo info = media::analyzed(dir + "/photo.bmp");
  EXPECT_EQ(0, info.width);
  EXPECT_EQ("", info.mediaType);
  EXPECT_EQ("DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_CI=0", info.details);
}

}  // namespace
