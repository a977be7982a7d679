// Media/AnalysisCheck.cpp: the table of profile names and the field checks
// of a helper's answer.
#include "Media/AnalysisCheck.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <utility>

#include "Media/FileInfo.h"

namespace {

struct Profile {
  const char* name;
  ObjType kind;
};

// Every profile name the analysers give, by the kind of file they analyse. A
// name an analyser learns must be added here, or the daemon refuses it (and
// the refusal record says so). MPEG transport streams come in three forms:
// plain, _ISO (no time stamps, ISO/IEC 13818-1) and _T (time-stamped).
constexpr Profile kProfiles[] = {
    // ImageAnalyzer: JPEG and PNG by size
    {"JPEG_SM_ICO", ObjType::Image},
    {"JPEG_LRG_ICO", ObjType::Image},
    {"JPEG_TN", ObjType::Image},
    {"JPEG_SM", ObjType::Image},
    {"JPEG_MED", ObjType::Image},
    {"JPEG_LRG", ObjType::Image},
    {"PNG_SM_ICO", ObjType::Image},
    {"PNG_LRG_ICO", ObjType::Image},
    {"PNG_TN", ObjType::Image},
    {"PNG_LRG", ObjType::Image},
    // AudioAnalyzer: by extension, WMA by bit rate
    {"MP3", ObjType::Audio},
    {"MP3X", ObjType::Audio},
    {"LPCM", ObjType::Audio},
    {"WMABASE", ObjType::Audio},
    {"WMAFULL", ObjType::Audio},
    {"WMAPRO", ObjType::Audio},
    // VideoAnalyzer: MPEG by stream kind and size, tts files, WMV by size and
    // rate (a 1920 x 1080 WMV is never _BASE)
    {"MPEG1", ObjType::Video},
    {"MPEG_PS_NTSC", ObjType::Video},
    {"MPEG_PS_PAL", ObjType::Video},
    {"MPEG_TS_SD_NA", ObjType::Video},
    {"MPEG_TS_SD_NA_ISO", ObjType::Video},
    {"MPEG_TS_SD_NA_T", ObjType::Video},
    {"MPEG_TS_HD_NA", ObjType::Video},
    {"MPEG_TS_HD_NA_ISO", ObjType::Video},
    {"MPEG_TS_HD_NA_T", ObjType::Video},
    {"MPEG_TS_JP_T", ObjType::Video},
    {"WMVHIGH_FULL", ObjType::Video},
    {"WMVHIGH_PRO", ObjType::Video},
    {"WMVMED_BASE", ObjType::Video},
    {"WMVMED_FULL", ObjType::Video},
    {"WMVMED_PRO", ObjType::Video},
    {"WMVSPML_BASE", ObjType::Video},
    {"WMVSPML_FULL", ObjType::Video},
    {"WMVSPML_PRO", ObjType::Video},
    {"WMVSPLL_BASE", ObjType::Video},
    {"WMVSPLL_FULL", ObjType::Video},
    {"WMVSPLL_PRO", ObjType::Video},
};

bool isDigits(const std::string& text, size_t from, size_t count) {
  return from + count <= text.size() &&
         std::all_of(text.begin() + from, text.begin() + from + count,
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// "HH:MM:SS.mmm", the hours widening past two digits (up to the 19 of a
// 64-bit count of seconds): the one format both duration writers use.
bool isDuration(const std::string& text) {
  size_t hours = text.find(':');
  return hours != std::string::npos && hours >= 2 && hours <= 19 && isDigits(text, 0, hours) &&
         text.size() == hours + 10 && isDigits(text, hours + 1, 2) && text[hours + 1] <= '5' &&
         text[hours + 3] == ':' && isDigits(text, hours + 4, 2) && text[hours + 4] <= '5' &&
         text[hours + 6] == '.' && isDigits(text, hours + 7, 3);
}

// Why text cannot be a tag an analyser read, or null. The analysers read
// tags as C strings, so a NUL never comes out of them.
const char* textFault(const std::string& text) {
  if (text.size() > AnalysisCheck::kMaxTextBytes) return "longer than 64 KiB";
  if (text.find('\0') != std::string::npos) return "holds a NUL";
  return nullptr;
}

}  // namespace

namespace AnalysisCheck {

bool isKnownProfile(const std::string& name, ObjType kind) {
  return name.empty() ||
         std::any_of(std::begin(kProfiles), std::end(kProfiles),
                     [&](const Profile& p) { return p.kind == kind && name == p.name; });
}

std::string refuseUnfounded(FileInfo& info) {
  const FileInfo defaults;
  std::string refused;
  auto refuse = [&refused](const char* field, const char* why) {
    refused += std::string(refused.empty() ? "" : ", ") + field + ": " + why;
  };
  const std::pair<const char*, std::string FileInfo::*> texts[] = {{"title", &FileInfo::title},
                                                                   {"artist", &FileInfo::artist},
                                                                   {"album", &FileInfo::album},
                                                                   {"genre", &FileInfo::genre}};
  for (const auto& [field, member] : texts) {
    const char* why = textFault(info.*member);
    if (why == nullptr) continue;
    info.*member = defaults.*member;
    refuse(field, why);
  }
  if (!isDuration(info.duration)) {
    info.duration = defaults.duration;
    refuse("duration", "not H:MM:SS.mmm");
  }
  if (!isKnownProfile(info.mediaType, info.objType)) {
    info.mediaType = defaults.mediaType;
    refuse("mediaType", "no profile of its kind");
  }
  const std::pair<const char*, int32_t FileInfo::*> sizes[] = {{"width", &FileInfo::width},
                                                               {"height", &FileInfo::height}};
  for (const auto& [field, member] : sizes) {
    if (info.*member >= 0) continue;
    info.*member = defaults.*member;
    refuse(field, "negative");
  }
  return refused;
}

}  // namespace AnalysisCheck
