// Media/AudioAnalyzer.cpp: placeholder until the audio analysis lands.
#include "Media/AudioAnalyzer.h"

#include "Media/FileInfo.h"

namespace AudioAnalyzer {

void analyze(FileInfo&) {}

}  // namespace AudioAnalyzer
