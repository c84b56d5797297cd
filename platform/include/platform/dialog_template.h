// Dialog templates as the window manager uses them: the standard binary dialog-template format
// (DLGTEMPLATE or DLGTEMPLATEEX with their items), as the resource compiler writes it, parsed
// into a plain record.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <windows.h>

namespace platform {

// A class, a menu or a text given either as a string or as a 16-bit ordinal.
struct NameOrOrdinal {
  bool isOrdinal = false;
  WORD ordinal = 0;
  std::u16string name;
};

struct DialogItemTemplate {
  DWORD helpId = 0;
  DWORD exStyle = 0;
  DWORD style = 0;
  short x = 0, y = 0, cx = 0, cy = 0;  // dialog units
  DWORD id = 0;
  NameOrOrdinal windowClass;  // ordinal 0x0080 Button, 0x0081 Edit, 0x0082 Static, ... or a name
  NameOrOrdinal title;        // the text, or a resource ordinal (a bitmap or icon of a static)
  std::vector<BYTE> creationData;
};

struct DialogTemplate {
  bool extended = false;  // DLGTEMPLATEEX
  DWORD helpId = 0;
  DWORD exStyle = 0;
  DWORD style = 0;
  short x = 0, y = 0, cx = 0, cy = 0;  // dialog units
  NameOrOrdinal menu;
  NameOrOrdinal windowClass;
  std::u16string title;
  // With DS_SETFONT (or DS_SHELLFONT):
  WORD pointSize = 0;
  WORD weight = 0;
  BYTE italic = 0;
  BYTE charset = 0;
  std::u16string typeface;
  std::vector<DialogItemTemplate> items;
};

// Parses a template; false with the reason (and the byte offset) when the data is not one.
bool ParseDialogTemplate(const void *data, size_t size, DialogTemplate *out, std::string *error);

}  // namespace platform
