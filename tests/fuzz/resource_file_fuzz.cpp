// Fuzzes the reading of compiled resource files: any bytes go to the .res parser, which must not
// crash, and every entry of a file it accepts goes to the dialog-template parser. A refusal must
// give a reason. An accepted file, written back in the .res format, must parse to the same
// entries. Every entry's data is parsed as a template, not only that of dialog entries, so that
// the fuzzer reaches the template parser without first having to hit the dialog type. Each
// entry's data is a block of exactly its size, so AddressSanitizer catches a read past its end.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <platform/dialog_template.h>

#include "resource_file.h"

namespace {

using platform::NameOrOrdinal;
using platform::ResourceEntry;

[[noreturn]] void Violation(const std::string &what) {
  std::fprintf(stderr, "resource_file_fuzz: %s\n", what.c_str());
  std::abort();
}

void PutWord(std::vector<BYTE> *out, WORD word) {
  out->push_back(static_cast<BYTE>(word));
  out->push_back(static_cast<BYTE>(word >> 8));
}

void PutDword(std::vector<BYTE> *out, DWORD word) {
  PutWord(out, static_cast<WORD>(word));
  PutWord(out, static_cast<WORD>(word >> 16));
}

void PutName(std::vector<BYTE> *out, const NameOrOrdinal &name) {
  if (name.isOrdinal) {
    PutWord(out, 0xFFFF);
    PutWord(out, name.ordinal);
    return;
  }
  for (char16_t unit : name.name) PutWord(out, unit);
  PutWord(out, 0);
}

void PadToDword(std::vector<BYTE> *out, size_t start) {
  while ((out->size() - start) % 4 != 0) out->push_back(0);
}

// One entry as the resource compiler lays it out: the header, padded to a DWORD and at least 32
// bytes long, then the data, padded to a DWORD.
void PutEntry(std::vector<BYTE> *out, const ResourceEntry &entry) {
  const size_t start = out->size();
  PutDword(out, static_cast<DWORD>(entry.data.size()));
  PutDword(out, 0);  // the header size, filled in below
  PutName(out, entry.type);
  PutName(out, entry.name);
  PadToDword(out, start);
  PutDword(out, 0);
  PutWord(out, entry.memoryFlags);
  PutWord(out, entry.language);
  PutDword(out, 0);
  PutDword(out, 0);
  // Two empty string names make a header of 28 bytes; the reader takes none shorter than the 32
  // of two ordinals, so the header is padded to that.
  while (out->size() - start < 32) out->push_back(0);
  const DWORD headerSize = static_cast<DWORD>(out->size() - start);
  for (int shift = 0; shift < 32; shift += 8) (*out)[start + 4 + shift / 8] = static_cast<BYTE>(headerSize >> shift);
  out->insert(out->end(), entry.data.begin(), entry.data.end());
  PadToDword(out, start);
}

bool SameName(const NameOrOrdinal &a, const NameOrOrdinal &b) {
  return a.isOrdinal == b.isOrdinal && (a.isOrdinal ? a.ordinal == b.ordinal : a.name == b.name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<ResourceEntry> entries;
  std::string error;
  if (!platform::ParseResourceFile(data, size, &entries, &error)) {
    if (error.empty()) Violation("a refused file without a reason");
    return 0;
  }

  for (size_t i = 0; i < entries.size(); ++i) {
    platform::DialogTemplate dialog;
    std::string reason;
    if (!platform::ParseDialogTemplate(entries[i].data.data(), entries[i].data.size(), &dialog, &reason) &&
        reason.empty())
      Violation("entry " + std::to_string(i) + " refused as a dialog template without a reason");
  }

  ResourceEntry marker;
  marker.type.isOrdinal = marker.name.isOrdinal = true;
  std::vector<BYTE> written;
  PutEntry(&written, marker);
  for (const ResourceEntry &entry : entries) PutEntry(&written, entry);
  std::vector<ResourceEntry> reparsed;
  if (!platform::ParseResourceFile(written.data(), written.size(), &reparsed, &error))
    Violation("the written file is refused: " + error);
  if (reparsed.size() != entries.size())
    Violation("the written file holds " + std::to_string(reparsed.size()) + " entries instead of " +
              std::to_string(entries.size()));
  for (size_t i = 0; i < entries.size(); ++i) {
    const ResourceEntry &a = entries[i], &b = reparsed[i];
    if (!SameName(a.type, b.type) || !SameName(a.name, b.name) || a.memoryFlags != b.memoryFlags ||
        a.language != b.language || a.data != b.data)
      Violation("entry " + std::to_string(i) + " reads back otherwise from the written file");
  }
  return 0;
}
