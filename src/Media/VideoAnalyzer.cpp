// Media/VideoAnalyzer.cpp: placeholder until the video analysis lands.
#include "Media/VideoAnalyzer.h"

#include "Media/FileInfo.h"

namespace VideoAnalyzer {

void analyze(FileInfo&) {}

}  // namespace VideoAnalyzer
