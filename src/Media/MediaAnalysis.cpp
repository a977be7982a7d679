// Media/MediaAnalysis.cpp: FileInfo::analyze, the one entry into media
// analysis, and the DLNA protocol-information fragment it composes.
#include "Media/AudioAnalyzer.h"
#include "Media/FileInfo.h"
#include "Media/ImageAnalyzer.h"
#include "Media/VideoAnalyzer.h"

void FileInfo::analyze() {
  switch (objType) {
    case ObjType::None:
    case ObjType::Playlist:
      return;
    case ObjType::Image:
      ImageAnalyzer::analyze(*this);
      break;
    case ObjType::Audio:
      AudioAnalyzer::analyze(*this);
      break;
    case ObjType::Video:
      VideoAnalyzer::analyze(*this);
      break;
    default:  // a value outside the table: no analyser, but still a fragment
      break;
  }
  composeDetails();
}
