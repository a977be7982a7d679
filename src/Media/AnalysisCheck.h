// Media/AnalysisCheck.h: what the daemon accepts of an analysis helper's
// answer.
//
// The helper parses untrusted bytes; a crafted file that takes it over can
// make it answer any well-framed record. The answer only carries the fields
// analysis fills (AnalysisProtocol.h), and each of those is taken only when
// it is something an analyser can produce: a text of at most kMaxTextBytes
// without a NUL, a duration in the analysers' one format, a size that is not
// negative, a profile name from the table of those the analysers give a file
// of its kind. A field that fails goes back to its default, so the file
// still gets its own row, with what could be believed.
#ifndef OMBRIX_MEDIA_ANALYSISCHECK_H
#define OMBRIX_MEDIA_ANALYSISCHECK_H

#include <cstddef>
#include <string>

#include "Media/MediaTypes.h"

class FileInfo;

namespace AnalysisCheck {

// Far above any real title, artist, album or genre, and far below what would
// slow the daemon down.
constexpr size_t kMaxTextBytes = 64 * 1024;

// True when an analyser can give a file of kind the DLNA profile name; ""
// (no profile applies) is one for every kind.
bool isKnownProfile(const std::string& name, ObjType kind);

// Sets each analysis field of info that fails its check back to its default
// (FileInfo::reset) and tells which and why, as "title: holds a NUL, width:
// negative"; "" when every field passed. Touches nothing else.
std::string refuseUnfounded(FileInfo& info);

}  // namespace AnalysisCheck

#endif  // OMBRIX_MEDIA_ANALYSISCHECK_H
