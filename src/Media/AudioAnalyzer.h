// Media/AudioAnalyzer.h: fills the audio fields of a FileInfo and names its DLNA profile.
#ifndef OMBRIX_MEDIA_AUDIOANALYZER_H
#define OMBRIX_MEDIA_AUDIOANALYZER_H

class FileInfo;

namespace AudioAnalyzer {

void analyze(FileInfo& info);

}  // namespace AudioAnalyzer

#endif  // OMBRIX_MEDIA_AUDIOANALYZER_H
