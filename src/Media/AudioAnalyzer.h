// Media/AudioAnalyzer.h: fills the audio fields of a FileInfo and names its
// DLNA audio profile.
//
// The reader follows the extension: TagLib for mp3, ogg, mpc and flac,
// libavformat for wma; pcm is named "LPCM" without being read, and every
// other audio extension is left alone. The profile of a wma or mp3 file
// follows the codec and rate libavformat finds in it, never the extension
// alone. TagLib 1.13 gives up on some files that are otherwise sound (a
// zero-length FLAC metadata block, an empty ID3v2 frame), so what it leaves
// out of an mp3, ogg, mpc or flac file is asked of libavformat. A file that
// no reader can read keeps the defaults of FileInfo::reset. Stateless: each
// call opens and closes its own library objects.
#ifndef OMBRIX_MEDIA_AUDIOANALYZER_H
#define OMBRIX_MEDIA_AUDIOANALYZER_H

#include <taglib/tstring.h>

#include <cstdint>
#include <string>

class FileInfo;

namespace AudioAnalyzer {

void analyze(FileInfo& info);

// Tags (artist, album, genre, title), duration in whole seconds, channels and
// sample rate through TagLib. A text that no tag of the file holds, and the
// properties when TagLib found no audio stream, come from libavformat when it
// can read the file; whatever TagLib did read is kept.
void tagAnalyze(FileInfo& info);

// Tags, track, duration, bit rate, channels, sample rate, codec and profile
// through libavformat. Returns false, with nothing changed, when the file
// cannot be opened or its streams cannot be analysed.
bool wmaAnalyze(FileInfo& info);

// The profile of WMA v1 or v2 audio at a bit rate in bit/s; 0 (unknown) is
// "WMABASE".
std::string wmaProfile(int64_t bitRate);

// How the field that held a tag text stored it.
enum class TextOrigin {
  SingleByte,  // ID3v1, ID3v2 frames of encoding 0: any bytes, one per character
  Unicode,     // Vorbis comments, APE, ID3v2 frames of encodings 1 to 3, ...
};

// A tag text as UTF-8, ending at its first zero character. Unicode text is
// taken as it is. Single-byte text is read as BIG5 (old players wrote
// Chinese tags as BIG5 bytes in single-byte fields) unless that is not valid
// BIG5 throughout, in which case it is ISO-8859-1.
std::string tagTextToUtf8(const TagLib::String& text, TextOrigin origin);

}  // namespace AudioAnalyzer

#endif  // OMBRIX_MEDIA_AUDIOANALYZER_H
