// Tests of the image analyser: JPEG and PNG sizes and profiles, its log
// records, and broken files that must leave the process running.
#include <unistd.h>

#include "Common/Logger.h"
#include "Media/ImageAnalyzer.h"
#include "MediaFixtures.h"

namespace {

struct SizeCase {
  int width, height;
  const char* profile;
};

struct Case {
  const char* name;
  int width, height;
  const char* profile;
};

std::string sizeLabel(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

class ImageAnalyzerTest : public MediaSuite {
 protected:
  static void SetUpTestSuite() {
    startSuite("ombrix-image");
    for (const auto& [width, height, ext] : kFiles) {
      made = made && media::make(dir + "/" + sizeLabel(width, height) + ext,
                                 media::stillFrame(width, height));
    }
  }
  void SetUp() override {
    MediaSuite::SetUp();
    logPath = dir + "/Ombrix.log";
    unlink(logPath.c_str());  // absent before the first test
    Logger::getInstance().setLogPath(logPath);
    Logger::getInstance().setLevel(5);
  }
  void TearDown() override { Logger::getInstance().setLevel(0); }

  struct File {
    int width, height;
    const char* ext;
  };
  static constexpr File kFiles[] = {{48, 48, ".jpg"},    {49, 48, ".jpg"},     {640, 480, ".jpg"},
                                    {1024, 768, ".jpg"}, {1920, 1080, ".jpg"}, {4097, 100, ".jpg"},
                                    {120, 120, ".png"},  {161, 161, ".png"},   {5000, 10, ".png"}};
  std::string logPath;
};

TEST_F(ImageAnalyzerTest, ProfilesFollowSize) {
  const SizeCase jpegCases[] = {
      {48, 48, "JPEG_SM_ICO"},  {49, 48, "JPEG_LRG_ICO"}, {120, 120, "JPEG_LRG_ICO"},
      {121, 120, "JPEG_TN"},    {160, 160, "JPEG_TN"},    {161, 160, "JPEG_SM"},
      {640, 480, "JPEG_SM"},    {480, 640, "JPEG_MED"},   {641, 480, "JPEG_MED"},
      {1024, 768, "JPEG_MED"},  {768, 1024, "JPEG_LRG"},  {1025, 768, "JPEG_LRG"},
      {4096, 4096, "JPEG_LRG"}, {4097, 100, ""},          {100, 4097, ""}};
  for (const SizeCase& c : jpegCases) {
    SCOPED_TRACE("JPEG " + sizeLabel(c.width, c.height));
    EXPECT_EQ(c.profile, ImageAnalyzer::jpegProfile(c.width, c.height));
  }
  const SizeCase pngCases[] = {
      {48, 48, "PNG_SM_ICO"}, {49, 48, "PNG_TN"},    {120, 120, "PNG_LRG_ICO"},
      {120, 119, "PNG_TN"},   {100, 100, "PNG_TN"},  {160, 160, "PNG_TN"},
      {161, 161, "PNG_LRG"},  {200, 100, "PNG_LRG"}, {4096, 4096, "PNG_LRG"},
      {4097, 10, ""},         {10, 4097, ""}};
  for (const SizeCase& c : pngCases) {
    SCOPED_TRACE("PNG " + sizeLabel(c.width, c.height));
    EXPECT_EQ(c.profile, ImageAnalyzer::pngProfile(c.width, c.height));
  }
}

TEST_F(ImageAnalyzerTest, RealFilesGetTheirSizeAndProfile) {
  write("LOUD.JPG", testhome::readFile(dir + "/49x48.jpg"));  // capitals are still a JPEG
  const Case cases[] = {
      {"48x48.jpg", 48, 48, "JPEG_SM_ICO"}, {"LOUD.JPG", 49, 48, "JPEG_LRG_ICO"},
      {"640x480.jpg", 640, 480, "JPEG_SM"}, {"1024x768.jpg", 1024, 768, "JPEG_MED"},
      {"4097x100.jpg", 4097, 100, ""},      {"120x120.png", 120, 120, "PNG_LRG_ICO"},
      {"161x161.png", 161, 161, "PNG_LRG"}, {"5000x10.png", 5000, 10, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FileInfo info = media::analyzed(dir + "/" + c.name);
    EXPECT_EQ(sizeLabel(c.width, c.height), sizeLabel(info.width, info.height));
    EXPECT_EQ(c.profile, info.mediaType);
  }
  FileInfo large;
  large.fill(dir + "/4097x100.jpg");
  EXPECT_EQ(0, ImageAnalyzer::jpgAnalyze(large));  // read, even without a profile

  // A PNG header is all setPngType reads: a width past the signed range is
  // kept at its largest value instead of turning negative (and so "small").
  const std::string header("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\xFF\xFF\xFF\xFF\0\0\0\x20", 24);
  FileInfo huge = media::analyzed(write("huge.png", header));
  EXPECT_EQ(sizeLabel(INT32_MAX, 32), sizeLabel(huge.width, huge.height));
  EXPECT_EQ("", huge.mediaType);
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
  // The start of frame (FF C0) lies within the first 200 bytes and the start
  // of scan (FF DA) after them: the cut header holds a size but no image.
  ASSERT_LT(jpeg.find("\xFF\xC0"), 200u);
  ASSERT_GT(jpeg.find("\xFF\xDA"), 200u);
  const std::pair<const char*, std::string> files[] = {
      {"truncated.jpg", jpeg.substr(0, 200)},
      {"no-image.jpg", std::string("\xFF\xD8\xFF\xD9", 4)},
      {"bad-marker.jpeg", std::string("\xFF\xD8\xFF\x01", 4) + std::string(500, '\x55')},
      {"not-jpeg.jpg", "plain text, not a picture"},
      {"empty.jpg", ""},
      {"jpeg-inside.png", jpeg},
      {"cut-header.png", png.substr(0, 20)},
      // A damaged file whose first chunk is not the header: its bytes 16 to
      // 23 are no size.
      {"text-chunk-first.png",
       png.substr(0, 8) + std::string("\0\0\0\x09tEXtComment\0x\0\0\0\0", 21) + png.substr(8)},
      {"bmp-not-read.bmp", png},
  };
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    FileInfo info = media::analyzed(write(name, bytes));
    EXPECT_EQ("0x0", sizeLabel(info.width, info.height));
    EXPECT_EQ("DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_CI=0", info.details);
  }
  FileInfo missing;
  missing.fill(dir + "/missing.jpg");
  EXPECT_EQ(-1, ImageAnalyzer::jpgAnalyze(missing));
  EXPECT_EQ(-1, ImageAnalyzer::setPngType(missing));
  EXPECT_EQ("", testhome::readFile(logPath));
}

}  // namespace
