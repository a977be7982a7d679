// Media/AsfParser.cpp: the ASF GUID table and the walk over ASF objects.
//
// Layout of an object: a 16-byte GUID, a 64-bit little-endian size that
// counts the whole object (GUID and size included), then the body. The walk
// reads the body of an object it understands through an ObjectReader, which
// refuses to read past the declared size, and then seeks to the object's end;
// so a damaged length inside an object can neither pull in bytes of the next
// object nor move the walk backwards. Each step moves forward by at least 24
// bytes, hence the walk ends on every finite file.
#include "Media/AsfParser.h"

#include <sys/types.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "Common/Util.h"
#include "Media/FileInfo.h"

namespace AsfParser {

const GuidEntry AsfGuidTable[kGuidCount] = {
    // Top-level objects.
    {"ASF_Header_Object", "75B22630-668E-11CF-A6D9-00AA0062CE6C"},
    {"ASF_Data_Object", "75B22636-668E-11CF-A6D9-00AA0062CE6C"},
    {"ASF_Simple_Index_Object", "33000890-E5B1-11CF-89F4-00A0C90349CB"},
    {"ASF_Index_Object", "D6E229D3-35DA-11D1-9034-00A0C90349BE"},
    {"ASF_Media_Object_Index_Object", "FEB103F8-12AD-4C64-840F-2A1D2F7AD48C"},
    {"ASF_Timecode_Index_Object", "3CB73FD0-0C4A-4803-953D-EDF7B6228F0C"},
    // Header objects.
    {"ASF_File_Properties_Object", "8CABDCA1-A947-11CF-8EE4-00C00C205365"},
    {"ASF_Stream_Properties_Object", "B7DC0791-A9B7-11CF-8EE6-00C00C205365"},
    {"ASF_Header_Extension_Object", "5FBF03B5-A92E-11CF-8EE3-00C00C205365"},
    {"ASF_Codec_List_Object", "86D15240-311D-11D0-A3A4-00A0C90348F6"},
    {"ASF_Script_Command_Object", "1EFB1A30-0B62-11D0-A39B-00A0C90348F6"},
    {"ASF_Marker_Object", "F487CD01-A951-11CF-8EE6-00C00C205365"},
    {"ASF_Bitrate_Mutual_Exclusion_Object", "D6E229DC-35DA-11D1-9034-00A0C90349BE"},
    {"ASF_Error_Correction_Object", "75B22635-668E-11CF-A6D9-00AA0062CE6C"},
    {"ASF_Content_Description_Object", "75B22633-668E-11CF-A6D9-00AA0062CE6C"},
    {"ASF_Extended_Content_Description_Object", "D2D0A440-E307-11D2-97F0-00A0C95EA850"},
    {"ASF_Content_Branding_Object", "2211B3FA-BD23-11D2-B4B7-00A0C955FC6E"},
    {"ASF_Stream_Bitrate_Properties_Object", "7BF875CE-468D-11D1-8D82-006097C9A2B2"},
    {"ASF_Content_Encryption_Object", "2211B3FB-BD23-11D2-B4B7-00A0C955FC6E"},
    {"ASF_Extended_Content_Encryption_Object", "298AE614-2622-4C17-B935-DAE07EE9289C"},
    {"ASF_Digital_Signature_Object", "2211B3FC-BD23-11D2-B4B7-00A0C955FC6E"},
    {"ASF_Padding_Object", "1806D474-CADF-4509-A4BA-9AABCB96AAE8"},
    // Header Extension objects.
    {"ASF_Extended_Stream_Properties_Object", "14E6A5CB-C672-4332-8399-A96952065B5A"},
    {"ASF_Advanced_Mutual_Exclusion_Object", "A08649CF-4775-4670-8A16-6E35357566CD"},
    {"ASF_Group_Mutual_Exclusion_Object", "D1465A40-5A79-4338-B71B-E36B8FD6C249"},
    {"ASF_Stream_Prioritization_Object", "D4FED15B-88D3-454F-81F0-ED5C45999E24"},
    {"ASF_Bandwidth_Sharing_Object", "A69609E6-517B-11D2-B6AF-00C04FD908E9"},
    {"ASF_Language_List_Object", "7C4346A9-EFE0-4BFC-B229-393EDE415C85"},
    {"ASF_Metadata_Object", "C5F8CBEA-5BAF-4877-8467-AA8C44FA4CCA"},
    {"ASF_Metadata_Library_Object", "44231C94-9498-49D1-A141-1D134E457054"},
    {"ASF_Index_Parameters_Object", "D6E229DF-35DA-11D1-9034-00A0C90349BE"},
    {"ASF_Media_Object_Index_Parameters_Object", "6B203BAD-3F11-48E4-ACA8-D7613DE2CFA7"},
    {"ASF_Timecode_Index_Parameters_Object", "F55E496D-9797-4B5D-8C8B-604DFE9BFB24"},
    // Published with the Header Object's GUID; the look-up finds row 0 first.
    {"ASF_Compatibility_Object", "75B22630-668E-11CF-A6D9-00AA0062CE6C"},
    {"ASF_Advanced_Content_Encryption_Object", "43058533-6981-49E6-9B74-AD12CB86D58C"},
    // Stream types of the Stream Properties Object.
    {"ASF_Audio_Media", "F8699E40-5B4D-11CF-A8FD-00805F5C442B"},
    {"ASF_Video_Media", "BC19EFC0-5B4D-11CF-A8FD-00805F5C442B"},
    {"ASF_Command_Media", "59DACFC0-59E6-11D0-A3AC-00A0C90348F6"},
    {"ASF_JFIF_Media", "B61BE100-5B4E-11CF-A8FD-00805F5C442B"},
    {"ASF_Degradable_JPEG_Media", "35907DE0-E415-11CF-A917-00805F5C442B"},
    {"ASF_File_Transfer_Media", "91BD222C-F21C-497A-8B6D-5AA86BFC0185"},
    {"ASF_Binary_Media", "3AFB65E2-47EF-40F2-AC2C-70A90D71D343"},
    {"ASF_Web_Stream_Media_Subtype", "776257D4-C627-41CB-8F81-7AC7FF1C40CC"},
    {"ASF_Web_Stream_Format", "DA1E6B13-8359-4050-B398-388E965BF00C"},
    // Error correction types.
    {"ASF_No_Error_Correction", "20FB5700-5B55-11CF-A8FD-00805F5C442B"},
    {"ASF_Audio_Spread", "BFC3CD50-618F-11CF-8BB2-00AA00B4E220"},
    // Lower case as printed, so never found: see the header.
    {"ASF_Reserved_1", "ABD3D211-A9BA-11cf-8EE6-00C00C205365"},
    {"ASF_Content_Encryption_System_Windows_Media_DRM_Network_Devices",
     "7A079BB6-DAA4-4e12-A5CA-91D38DC11A8D"},
    {"ASF_Reserved_2", "86D15241-311D-11D0-A3A4-00A0C90348F6"},
    {"ASF_Reserved_3", "4B1ACBE3-100B-11D0-A39B-00A0C90348F6"},
    {"ASF_Reserved_4", "4CFEDB20-75F6-11CF-9C0F-00A0C90349CB"},
    // Mutual exclusion and bandwidth sharing types.
    {"ASF_Mutex_Language", "D6E22A00-35DA-11D1-9034-00A0C90349BE"},
    {"ASF_Mutex_Bitrate", "D6E22A01-35DA-11D1-9034-00A0C90349BE"},
    {"ASF_Mutex_Unknown", "D6E22A02-35DA-11D1-9034-00A0C90349BE"},
    {"ASF_Bandwidth_Sharing_Exclusive", "AF6060AA-5197-11D2-B6AF-00C04FD908E9"},
    {"ASF_Bandwidth_Sharing_Partial", "AF6060AB-5197-11D2-B6AF-00C04FD908E9"},
    // Payload extension systems.
    {"ASF_Payload_Extension_System_Timecode", "399595EC-8667-4E2D-8FDB-98814CE76C1E"},
    {"ASF_Payload_Extension_System_File_Name", "E165EC0E-19ED-45D7-B4A7-25CBD1E28E9B"},
    {"ASF_Payload_Extension_System_Content_Type", "D590DC20-07BC-436C-9CF7-F3BBFBF1A4DC"},
    {"ASF_Payload_Extension_System_Pixel_Aspect_Ratio", "1B1EE554-F9EA-4BC8-821A-376B74E4C4B8"},
    {"ASF_Payload_Extension_System_Sample_Duration", "C6BD9450-867F-4907-83A3-C77921B733AD"},
    {"ASF_Payload_Extension_System_Encryption_Sample_ID", "6698B84E-0AFA-4330-AEB2-1C0A98D7A44D"},
};

namespace {

// Table rows the walk acts on.
constexpr int kHeaderObject = 0;
constexpr int kStreamPropertiesObject = 7;
constexpr int kContentDescriptionObject = 14;
constexpr int kExtendedContentDescriptionObject = 15;
constexpr int kAudioMedia = 35;
constexpr int kVideoMedia = 36;

constexpr size_t kGuidSize = 16;

// The smallest size each object can declare: its GUID and 64-bit size (24),
// plus the fixed fields the parser reads. Header Object: child count (4) and
// two reserved bytes. Stream Properties: stream type and error-correction type
// GUIDs (32), time offset (8), the two data lengths (8), flags (2), reserved
// (4). Content Description: five 16-bit text lengths. Extended Content
// Description: the 16-bit descriptor count.
constexpr uint64_t kObjectHeaderSize = 24;
constexpr uint64_t kHeaderObjectSize = kObjectHeaderSize + 6;
constexpr size_t kStreamFixedSize = 54;
constexpr uint64_t kStreamPropertiesSize = kObjectHeaderSize + kStreamFixedSize;
constexpr uint64_t kContentDescriptionSize = kObjectHeaderSize + 10;
constexpr uint64_t kExtendedContentDescriptionSize = kObjectHeaderSize + 2;

// Offset of the type-specific data length among the Stream Properties fixed
// fields, and the fields of the video type-specific data before its bitmap
// header: encoded width (4), encoded height (4), reserved flags (1), format
// data size (2).
constexpr size_t kTypeSpecificLengthOffset = 40;
constexpr uint32_t kVideoPrefixSize = 11;

// The WAVE format header as the parser reads it (18 bytes and one reserved
// word), and the bitmap information header.
constexpr size_t kWaveFormatSize = 20;
constexpr size_t kBitMapHeaderSize = 40;

uint16_t readLe16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

uint32_t readLe32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint64_t readLe64(const uint8_t* bytes) {
  return static_cast<uint64_t>(readLe32(bytes)) | static_cast<uint64_t>(readLe32(bytes + 4)) << 32;
}

// The body of one object. read and skip refuse (return false, touching
// nothing) a request that goes past the object's declared end: the object is
// damaged. Bytes missing because the file ends first read as zero, and so
// does everything after them; that is not an error, the walk then ends at its
// next GUID read.
class ObjectReader {
 public:
  ObjectReader(FILE* file, uint64_t bodySize) : file(file), remaining(bodySize) {}

  bool read(uint8_t* buffer, size_t count) {
    if (count > remaining) return false;
    if (count == 0) return true;
    std::memset(buffer, 0, count);
    if (!fileEnded && fread(buffer, 1, count, file) < count) fileEnded = true;
    remaining -= count;
    return true;
  }

  bool skip(uint64_t count) {
    if (count > remaining) return false;
    // A seek that fails leaves the stream where it was; reading on from
    // there would take the wrong bytes, so the rest of the object reads as
    // zeros instead. The walk seeks to the object's end afterwards anyway.
    if (!fileEnded && fseeko(file, static_cast<off_t>(count), SEEK_CUR) != 0) fileEnded = true;
    remaining -= count;
    return true;
  }

  uint64_t bytesLeft() const { return remaining; }
  bool hasFileEnded() const { return fileEnded; }

 private:
  FILE* file;
  uint64_t remaining;
  bool fileEnded = false;
};

// Two-byte little-endian text to UTF-8. Each unit is assembled as a number,
// which puts it in host order for the "UCS2" converter; an odd last byte is
// no character and is dropped. The conversion stops at the first zero unit.
std::string convertUtf16Le(const std::vector<uint8_t>& bytes) {
  std::vector<uint16_t> units(bytes.size() / 2);
  for (size_t i = 0; i < units.size(); ++i) units[i] = readLe16(&bytes[2 * i]);
  return Util::convertToUtf8(reinterpret_cast<const char*>(units.data()),
                             units.size() * sizeof(uint16_t), "UCS2");
}

// Reads a text of length bytes and stores it in field unless it is empty: an
// empty tag says nothing, and the record's "Unknown" says so better.
bool readText(ObjectReader& body, uint16_t length, std::string& field) {
  std::vector<uint8_t> bytes(length);
  if (!body.read(bytes.data(), bytes.size())) return false;
  std::string text = convertUtf16Le(bytes);
  if (!text.empty()) field = text;
  return true;
}

// True when name holds ascii as two-byte little-endian characters followed by
// a zero character, and nothing else: "WM/Genre" matches only when its
// terminator is there and nothing follows it.
bool isDescriptorName(const uint8_t* name, size_t length, const char* ascii) {
  size_t characters = std::strlen(ascii) + 1;
  if (length != 2 * characters) return false;
  for (size_t i = 0; i < characters; ++i) {
    if (name[2 * i] != static_cast<uint8_t>(ascii[i]) || name[2 * i + 1] != 0) return false;
  }
  return true;
}

// The WAVE format header sits at the start of the audio type-specific data;
// only as much of it as that data holds is read, the rest stays zero.
void parseAudioFormat(ObjectReader& body, uint32_t typeSpecificLength, WaveFormat& wave) {
  uint8_t bytes[kWaveFormatSize] = {};
  // Cannot fail: the caller checked typeSpecificLength against the body.
  (void)body.read(bytes, std::min<size_t>(kWaveFormatSize, typeSpecificLength));
  wave.wFormatTag = readLe16(bytes);
  wave.nChannels = readLe16(bytes + 2);
  wave.nSamplesPerSec = readLe32(bytes + 4);
  wave.nAvgBytesPerSec = readLe32(bytes + 8);
  wave.nBlockAlign = readLe16(bytes + 12);
  wave.wBitsPerSample = readLe16(bytes + 14);
  wave.cbSize = readLe16(bytes + 16);
  wave.res = readLe16(bytes + 18);
}

// The bitmap header follows the 11 bytes of encoded size, flags and format
// data size. compression is a four-character code: its bytes are kept in
// file order, not read as a number.
bool parseVideoFormat(ObjectReader& body, uint32_t typeSpecificLength, BitMapHeader& header) {
  if (typeSpecificLength < kVideoPrefixSize) return false;  // no video stream is that short
  uint8_t prefix[kVideoPrefixSize];
  uint8_t bytes[kBitMapHeaderSize] = {};
  (void)body.read(prefix, sizeof prefix);
  (void)body.read(bytes,
                  std::min<size_t>(kBitMapHeaderSize, typeSpecificLength - kVideoPrefixSize));
  header.size = readLe32(bytes);
  header.width = readLe32(bytes + 4);
  header.height = readLe32(bytes + 8);
  header.planes = readLe16(bytes + 12);
  header.bitCount = readLe16(bytes + 14);
  std::memcpy(&header.compression, bytes + 16, sizeof header.compression);
  header.sizeImage = readLe32(bytes + 20);
  header.xPelsPerMeter = readLe32(bytes + 24);
  header.yPelsPerMeter = readLe32(bytes + 28);
  header.clrUsed = readLe32(bytes + 32);
  header.clrImportant = readLe32(bytes + 36);
  return true;
}

bool parseStreamProperties(ObjectReader& body, FileInfo& target) {
  uint8_t fixed[kStreamFixedSize];
  if (!body.read(fixed, sizeof fixed)) return false;
  uint32_t typeSpecificLength = readLe32(fixed + kTypeSpecificLengthOffset);
  if (typeSpecificLength > body.bytesLeft()) return false;
  int streamType = lookupGuid(formatGuid(fixed));
  if (streamType == kAudioMedia) parseAudioFormat(body, typeSpecificLength, target.waveFormat);
  if (streamType == kVideoMedia)
    return parseVideoFormat(body, typeSpecificLength, target.bitMapHeader);
  return true;
}

// Five texts follow their five lengths: title, author, copyright,
// description, rating. Only the author is kept.
bool parseContentDescription(ObjectReader& body, FileInfo& target) {
  constexpr int kAuthor = 1;
  uint8_t lengthBytes[10];
  if (!body.read(lengthBytes, sizeof lengthBytes)) return false;
  uint64_t total = 0;
  for (int i = 0; i < 5; ++i) total += readLe16(lengthBytes + 2 * i);
  if (total > body.bytesLeft()) return false;
  for (int i = 0; i < 5; ++i) {
    uint16_t length = readLe16(lengthBytes + 2 * i);
    bool isRead = i == kAuthor ? readText(body, length, target.artist) : body.skip(length);
    if (!isRead) return false;
  }
  return true;
}

// Reads a descriptor's name length and name, and points field at what the
// name selects (null for nothing). Both wanted names are short, so a name of
// any other length is passed over without being read into memory.
bool readDescriptorName(ObjectReader& body, FileInfo& target, std::string*& field) {
  constexpr size_t kLongestName = 28;  // "WM/AlbumTitle" and its zero, two bytes each
  field = nullptr;
  uint8_t lengthBytes[2];
  if (!body.read(lengthBytes, sizeof lengthBytes)) return false;
  uint16_t length = readLe16(lengthBytes);
  if (length > kLongestName) return body.skip(length);
  uint8_t name[kLongestName];
  if (!body.read(name, length)) return false;
  if (isDescriptorName(name, length, "WM/AlbumTitle")) field = &target.album;
  if (isDescriptorName(name, length, "WM/Genre")) field = &target.genre;
  return true;
}

// Each descriptor: name length, name, value data type (not examined: a
// selected value is read as two-byte text whatever its type), value length,
// value. The loop stops early when the file ends.
bool parseExtendedContentDescription(ObjectReader& body, FileInfo& target) {
  uint8_t countBytes[2];
  if (!body.read(countBytes, sizeof countBytes)) return false;
  uint16_t count = readLe16(countBytes);
  for (uint16_t i = 0; i < count && !body.hasFileEnded(); ++i) {
    std::string* field = nullptr;
    uint8_t typeAndLength[4];
    if (!readDescriptorName(body, target, field) ||
        !body.read(typeAndLength, sizeof typeAndLength)) {
      return false;
    }
    uint16_t valueLength = readLe16(typeAndLength + 2);
    bool isRead = field != nullptr ? readText(body, valueLength, *field) : body.skip(valueLength);
    if (!isRead) return false;
  }
  return true;
}

// Reads the body of an object the walk understands; any other object is
// passed over by the caller's seek to its end. False when the object is
// damaged.
bool parseObject(int index, ObjectReader& body, FileInfo& target) {
  switch (index) {
    case kStreamPropertiesObject:
      return parseStreamProperties(body, target);
    case kContentDescriptionObject:
      return parseContentDescription(body, target);
    case kExtendedContentDescriptionObject:
      return parseExtendedContentDescription(body, target);
    default:
      return true;
  }
}

uint64_t minimumSize(int index) {
  switch (index) {
    case kHeaderObject:
      return kHeaderObjectSize;
    case kStreamPropertiesObject:
      return kStreamPropertiesSize;
    case kContentDescriptionObject:
      return kContentDescriptionSize;
    case kExtendedContentDescriptionObject:
      return kExtendedContentDescriptionSize;
    default:
      return kObjectHeaderSize;
  }
}

}  // namespace

std::string formatGuid(const uint8_t* bytes) {
  char text[37];
  snprintf(text, sizeof text, "%.8X-%.4X-%.4X-%.4X-%.2X%.2X%.2X%.2X%.2X%.2X",
           static_cast<unsigned>(readLe32(bytes)), static_cast<unsigned>(readLe16(bytes + 4)),
           static_cast<unsigned>(readLe16(bytes + 6)),
           static_cast<unsigned>(bytes[8] << 8 | bytes[9]), bytes[10], bytes[11], bytes[12],
           bytes[13], bytes[14], bytes[15]);
  return text;
}

int lookupGuid(const std::string& guidText) {
  for (int i = 0; i < kGuidCount; ++i) {
    if (guidText == AsfGuidTable[i].text) return i;
  }
  return kGuidCount;
}

// The walk. Sizes are used in full (64 bits): a Data Object of a long video
// passes 4 GiB, and its low 32 bits alone would land the walk inside it.
int parse(FILE* file, FileInfo& target) {
  constexpr uint64_t kLastOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
  for (;;) {
    off_t start = ftello(file);
    if (start < 0) return -1;
    uint8_t guid[kGuidSize];
    if (fread(guid, 1, sizeof guid, file) < sizeof guid) return 0;
    int index = lookupGuid(formatGuid(guid));
    if (index == kGuidCount) return -1;
    uint8_t sizeBytes[8];
    if (fread(sizeBytes, 1, sizeof sizeBytes, file) < sizeof sizeBytes) return 0;
    uint64_t size = readLe64(sizeBytes);
    if (size < minimumSize(index) || size > kLastOffset - static_cast<uint64_t>(start)) return -1;

    ObjectReader body(file, size - kObjectHeaderSize);
    if (index == kHeaderObject) {
      // The children follow the child count and the reserved bytes; they are
      // walked as if they stood at the top level.
      if (!body.skip(kHeaderObjectSize - kObjectHeaderSize)) return -1;
      continue;
    }
    if (!parseObject(index, body, target)) return -1;
    // Past the end of the file is fine: the next GUID read ends the walk.
    if (fseeko(file, start + static_cast<off_t>(size), SEEK_SET) != 0) return -1;
  }
}

}  // namespace AsfParser
