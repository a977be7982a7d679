// Media/VideoAnalyzer.h: fills the video fields of a FileInfo and names its DLNA profile.
#ifndef OMBRIX_MEDIA_VIDEOANALYZER_H
#define OMBRIX_MEDIA_VIDEOANALYZER_H

class FileInfo;

namespace VideoAnalyzer {

void analyze(FileInfo& info);

}  // namespace VideoAnalyzer

#endif  // OMBRIX_MEDIA_VIDEOANALYZER_H
