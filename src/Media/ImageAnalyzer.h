// Media/ImageAnalyzer.h: fills the image fields of a FileInfo and names its DLNA profile.
#ifndef OMBRIX_MEDIA_IMAGEANALYZER_H
#define OMBRIX_MEDIA_IMAGEANALYZER_H

class FileInfo;

namespace ImageAnalyzer {

void analyze(FileInfo& info);

}  // namespace ImageAnalyzer

#endif  // OMBRIX_MEDIA_IMAGEANALYZER_H
