// Parses the standard binary dialog-template formats, DLGTEMPLATE and DLGTEMPLATEEX with their
// items, into a DialogTemplate; truncated or inconsistent data is refused with the reason.
#include <platform/dialog_template.h>

#include "byte_reader.h"

namespace platform {
namespace {

constexpr WORD kExtendedSignature = 0xFFFF;

// The fewest bytes an item takes: its fixed fields, then an ordinal-or-string class and title of
// one WORD each and the WORD count of its (absent) creation data.
constexpr size_t kSmallestItem = 4 + 4 + 4 * 2 + 2 + 3 * 2;
constexpr size_t kSmallestExtendedItem = 4 + 4 + 4 + 4 * 2 + 4 + 3 * 2;

bool Fail(const std::string &where, const std::string &reason, std::string *error) {
  if (error != nullptr) {
    *error = "dialog template: " + where + ": " + reason +
             "; the resource is truncated or is not a dialog template, so rebuild the resource file";
  }
  return false;
}

bool Fail(const ByteReader &reader, const std::string &where, std::string *error) {
  return Fail(where, reader.error(), error);
}

bool ParseItem(ByteReader &reader, bool extended, DialogItemTemplate *item) {
  if (extended) {
    if (!reader.Dword(&item->helpId) || !reader.Dword(&item->exStyle) || !reader.Dword(&item->style)) return false;
  } else {
    if (!reader.Dword(&item->style) || !reader.Dword(&item->exStyle)) return false;
  }
  if (!reader.Short(&item->x) || !reader.Short(&item->y) || !reader.Short(&item->cx) || !reader.Short(&item->cy)) {
    return false;
  }
  if (extended) {
    if (!reader.Dword(&item->id)) return false;
  } else {
    WORD id = 0;
    if (!reader.Word(&id)) return false;
    item->id = id;
  }
  WORD extraCount = 0;
  return reader.NameOrOrdinal(&item->windowClass) && reader.NameOrOrdinal(&item->title) &&
         reader.Word(&extraCount) && reader.Bytes(extraCount, &item->creationData);
}

}  // namespace

bool ParseDialogTemplate(const void *data, size_t size, DialogTemplate *out, std::string *error) {
  if (data == nullptr) {
    if (error != nullptr) *error = "dialog template: no data was given";
    return false;
  }
  ByteReader reader(data, size);
  DialogTemplate result;
  WORD version = 0, signature = 0;
  if (!reader.Word(&version) || !reader.Word(&signature)) return Fail(reader, "header", error);
  result.extended = version == 1 && signature == kExtendedSignature;
  reader.Seek(0);
  WORD itemCount = 0;
  bool headerRead = false;
  if (result.extended) {
    headerRead = reader.Seek(4) && reader.Dword(&result.helpId) && reader.Dword(&result.exStyle) &&
                 reader.Dword(&result.style);
  } else {
    headerRead = reader.Dword(&result.style) && reader.Dword(&result.exStyle);
  }
  headerRead = headerRead && reader.Word(&itemCount) && reader.Short(&result.x) && reader.Short(&result.y) &&
               reader.Short(&result.cx) && reader.Short(&result.cy);
  if (!headerRead) return Fail(reader, "header", error);

  if (!reader.NameOrOrdinal(&result.menu)) return Fail(reader, "menu", error);
  if (!reader.NameOrOrdinal(&result.windowClass)) return Fail(reader, "window class", error);
  if (!reader.String(&result.title)) return Fail(reader, "caption", error);
  if ((result.style & DS_SETFONT) != 0) {
    if (!reader.Word(&result.pointSize)) return Fail(reader, "font size", error);
    if (result.extended &&
        (!reader.Word(&result.weight) || !reader.Byte(&result.italic) || !reader.Byte(&result.charset))) {
      return Fail(reader, "font", error);
    }
    if (!reader.String(&result.typeface)) return Fail(reader, "typeface", error);
  }

  // The count is checked against the bytes left before it sizes anything, so that a few bytes
  // claiming 65535 items are refused instead of costing megabytes of empty items.
  const size_t smallest = result.extended ? kSmallestExtendedItem : kSmallestItem;
  if (itemCount > reader.remaining() / smallest) {
    return Fail("header",
                "its " + std::to_string(itemCount) + " items need at least " +
                    std::to_string(itemCount * smallest) + " bytes, but only " +
                    std::to_string(reader.remaining()) + " follow the header",
                error);
  }
  result.items.resize(itemCount);
  for (WORD i = 0; i < itemCount; ++i) {
    if (!reader.Align(0, 4) || !ParseItem(reader, result.extended, &result.items[i])) {
      return Fail(reader, "item " + std::to_string(i + 1) + " of " + std::to_string(itemCount), error);
    }
  }
  *out = std::move(result);
  return true;
}

}  // namespace platform
