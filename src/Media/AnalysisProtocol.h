// Media/AnalysisProtocol.h: the bytes between the daemon and its analysis
// helpers.
//
// The daemon writes requests to a worker's standard input and reads answers
// from its standard output. A message is a 4-byte big-endian length followed
// by that many bytes, at most kMaxMessageBytes. A request holds one file
// record or several (kMaxBatch at most), to be analysed in their order; the
// worker answers each file on its own as soon as it is done, so a crash or a
// hang costs only the file at hand. An answer is what analysis found (the
// fields FileInfo::analyze fills, and nothing the daemon knows itself: path,
// name, kind, size, times, MIME type) followed by the log records its
// analysis wrote. Numbers travel as 8-byte big-endian values,
// counts as 4-byte ones and texts as a 4-byte length and the bytes, so the bytes are the same
// whatever the host's word size and byte order. Decoding is strict: a message cut short, one with
// bytes left over, or one holding a value outside its field's range is refused whole, since it can
// only come from a helper that has gone wrong.
#ifndef OMBRIX_MEDIA_ANALYSISPROTOCOL_H
#define OMBRIX_MEDIA_ANALYSISPROTOCOL_H

#include <cstdint>
#include <string>
#include <vector>

#include "Common/Logger.h"

class FileInfo;

namespace AnalysisProtocol {

// No real record comes near either bound; a longer message is garbage.
constexpr uint32_t kMaxMessageBytes = 1u << 20;
constexpr size_t kMaxRecords = 256;
// The longest item of a helper's record; the real ones are a size or the
// names of missing sandbox mechanisms.
constexpr size_t kMaxItemBytes = 256;

// Files in one request at most: enough to save most round trips, few enough
// that a file late in a batch never waits long behind the others.
constexpr size_t kMaxBatch = 16;

std::string encodeRecord(const FileInfo& info);
// False, with info untouched, for anything but one whole, well-formed record.
bool decodeRecord(const std::string& bytes, FileInfo& info);

// A request: its magic number, the count (1 to kMaxBatch) and each record
// (as encodeRecord made it) as a text.
std::string encodeRequest(const std::vector<std::string>& records);
// False, with files untouched, for anything but one whole, well-formed
// request.
bool decodeRequest(const std::string& bytes, std::vector<FileInfo>& files);

// A log record travels as its contracted source name and line, which stay
// the same from build to build, and its item. Only records of the analysis
// side (the image analyser, the sandbox) are accepted: a helper may not put
// words into the synchroniser's mouth.
std::string encodeAnswer(const FileInfo& info, const std::vector<CapturedRecord>& records);
// Replaces the analysis fields of info, and only those, with the answer's,
// as they come: what they may hold is the caller's to check
// (AnalysisCheck.h). False, with info and records untouched, for anything
// but one whole, well-formed answer.
bool decodeAnswer(const std::string& bytes, FileInfo& info, std::vector<CapturedRecord>& records);

std::string frame(const std::string& payload);

enum class Unframed { Incomplete, Complete, TooLong };
// Moves the first whole message at the front of buffer into payload.
Unframed unframe(std::string& buffer, std::string& payload);

// Blocking, for the worker's side. receiveMessage is false at the end of the
// input, on a read error and for a message over the bound.
bool sendMessage(int fd, const std::string& payload);
bool receiveMessage(int fd, std::string& payload);

}  // namespace AnalysisProtocol

#endif  // OMBRIX_MEDIA_ANALYSISPROTOCOL_H
