// Media/ImageAnalyzer.cpp: placeholder until the image analysis lands.
#include "Media/ImageAnalyzer.h"

#include "Media/FileInfo.h"

namespace ImageAnalyzer {

void analyze(FileInfo&) {}

}  // namespace ImageAnalyzer
