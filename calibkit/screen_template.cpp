// The full-screen windows' template, built as the standard DLGTEMPLATE: the header, then the
// menu, class and caption as WORD arrays, then the font.
#include "screen_template.h"

std::vector<WORD> ScreenTemplate(const char16_t *caption) {
  std::vector<WORD> words(sizeof(DLGTEMPLATE) / sizeof(WORD), 0);
  auto *header = reinterpret_cast<DLGTEMPLATE *>(words.data());
  header->style = WS_POPUP | DS_SETFONT;
  header->cx = 100;
  header->cy = 50;
  words.push_back(0);  // no menu
  words.push_back(0);  // the default dialog class
  for (const char16_t *c = caption; *c != 0; ++c) words.push_back(*c);
  words.push_back(0);
  words.push_back(12);  // point size
  for (const char16_t *c = u"System"; *c != 0; ++c) words.push_back(*c);
  words.push_back(0);
  return words;
}
