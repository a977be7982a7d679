// Media/AudioAnalyzer.h: fills the audio fields of a FileInfo and names its
// DLNA audio profile.
//
// The reader follows the extension: TagLib for mp3, ogg, mpc and flac,
// libavformat for wma; pcm is named "LPCM" without being read, and every
// other audio extension is left alone. A file that its reader cannot read
// keeps the defaults of FileInfo::reset. Stateless: each call opens and
// closes its own library objects.
#ifndef OMBRIX_MEDIA_AUDIOANALYZER_H
#define OMBRIX_MEDIA_AUDIOANALYZER_H

#include <taglib/tstring.h>

#include <cstdint>
#include <string>

class FileInfo;

namespace AudioAnalyzer {

void analyze(FileInfo& info);

// Tags (artist, album, genre, title), duration in whole seconds, channels and
// sample rate through TagLib. Each part is used only when TagLib produced it.
void tagAnalyze(FileInfo& info);

// Tags, track, duration, bit rate, channels, sample rate and profile through
// libavformat. Returns false, with nothing changed, when the file cannot be
// opened or its streams cannot be analysed.
bool wmaAnalyze(FileInfo& info);

// The WMA profile for a container bit rate in bit/s; 0 (unknown) is "WMABASE".
std::string wmaProfile(int64_t bitRate);

// A tag text as UTF-8. Text with a character above U+00FF is really Unicode
// and is taken as it is. Otherwise its one-byte form is read as BIG5 (old
// players wrote Chinese tags as BIG5 bytes in single-byte fields) unless that
// is not valid BIG5 throughout, in which case it is ISO-8859-1. The text ends
// at its first zero character.
std::string tagTextToUtf8(const TagLib::String& text);

}  // namespace AudioAnalyzer

#endif  // OMBRIX_MEDIA_AUDIOANALYZER_H
