// Reads the 32-bit .res format: a run of DWORD-aligned entries, each a header (data size, header
// size, type, name, flags, language) and its data, led by an empty entry that marks the format.
#include "resource_file.h"

#include "byte_reader.h"

namespace platform {
namespace {

constexpr size_t kMinimumHeaderSize = 32;

bool Fail(const std::string &reason, std::string *error) {
  if (error != nullptr) *error = reason + "; rebuild the resource file with the resource compiler (windres -O res)";
  return false;
}

// The empty first entry that only a 32-bit resource file begins with.
bool IsFormatMarker(const ResourceEntry &entry) {
  return entry.data.empty() && entry.type.isOrdinal && entry.type.ordinal == 0 && entry.name.isOrdinal &&
         entry.name.ordinal == 0;
}

}  // namespace

bool ParseResourceFile(const void *data, size_t size, std::vector<ResourceEntry> *out, std::string *error) {
  if (data == nullptr || size == 0) return Fail("the resource file is empty", error);
  ByteReader reader(data, size);
  std::vector<ResourceEntry> entries;
  bool first = true;
  while (reader.remaining() > 0) {
    const size_t start = reader.offset();
    const std::string where = "resource entry at byte " + std::to_string(start) + ": ";
    DWORD dataSize = 0, headerSize = 0, dataVersion = 0, version = 0, characteristics = 0;
    ResourceEntry entry;
    if (!reader.Dword(&dataSize) || !reader.Dword(&headerSize) || !reader.NameOrOrdinal(&entry.type) ||
        !reader.NameOrOrdinal(&entry.name) || !reader.Align(start, 4) || !reader.Dword(&dataVersion) ||
        !reader.Word(&entry.memoryFlags) || !reader.Word(&entry.language) || !reader.Dword(&version) ||
        !reader.Dword(&characteristics)) {
      return Fail(where + reader.error(), error);
    }
    if (headerSize < kMinimumHeaderSize || headerSize < reader.offset() - start) {
      return Fail(where + "its header size " + std::to_string(headerSize) + " is smaller than its header", error);
    }
    if (headerSize > reader.size() - start) {
      return Fail(where + "its header size " + std::to_string(headerSize) + " runs past the end of the file", error);
    }
    reader.Seek(start + headerSize);
    if (!reader.Bytes(dataSize, &entry.data)) return Fail(where + "its data: " + reader.error(), error);
    if (first && !IsFormatMarker(entry)) {
      return Fail("the file does not begin with the empty entry of a 32-bit resource file", error);
    }
    if (!first) entries.push_back(std::move(entry));
    first = false;
    // The last entry's padding may be left off.
    if (!reader.Align(start, 4)) reader.Seek(reader.size());
  }
  *out = std::move(entries);
  return true;
}

}  // namespace platform
