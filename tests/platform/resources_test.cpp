// The utility's compiled resources and the resource calls: both dialog templates as the resource
// compiler built them, control by control; the icons and the logo; the calls' results and last
// errors; and truncated or corrupt resource files and templates refused without a crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <windows.h>

#include "../../utility/resource.h"
#include "platform/dialog_template.h"
#include "platform/text.h"
#include "resource_file.h"
#include "test_root.h"

namespace {

// The largest single allocation made while recording: what parsing an input costs, watched by
// replacing this program's operator new (and the deletes, so that both ends use malloc's heap;
// kept out of line, where the compiler would otherwise see free() meet a new-expression).
std::atomic<bool> gRecording{false};
std::atomic<size_t> gLargest{0};

}  // namespace

[[gnu::noinline]] void *operator new(size_t size) {
  if (gRecording.load(std::memory_order_relaxed)) {
    size_t seen = gLargest.load();
    while (size > seen && !gLargest.compare_exchange_weak(seen, size)) {
    }
  }
  if (void *block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void *block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void *block, size_t) noexcept { std::free(block); }

namespace {

using platform::DialogItemTemplate;
using platform::DialogTemplate;

const std::string kResourcePath = std::string(NORVIK_BIN_DIR) + "/calvex.res";
constexpr WORD kButton = 0x0080;
constexpr WORD kStatic = 0x0082;

std::vector<BYTE> ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<BYTE>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

HMODULE CalvexModule() {
  static HMODULE module = [] {
    std::string error;
    HMODULE loaded = platform::LoadResourceFile(kResourcePath, &error);
    EXPECT_NE(loaded, nullptr) << error;
    return loaded;
  }();
  return module;
}

// The bytes of one resource of the utility, through the resource calls.
std::vector<BYTE> Resource(LPCWSTR type, WORD id) {
  HRSRC found = FindResourceW(CalvexModule(), MAKEINTRESOURCEW(id), type);
  if (found == nullptr) {
    ADD_FAILURE() << "resource " << id << " not found, error " << GetLastError();
    return {};
  }
  const BYTE *data = static_cast<const BYTE *>(LockResource(LoadResource(CalvexModule(), found)));
  const DWORD size = SizeofResource(CalvexModule(), found);
  EXPECT_NE(data, nullptr);
  return std::vector<BYTE>(data, data + size);
}

DialogTemplate Template(WORD id) {
  const std::vector<BYTE> bytes = Resource(RT_DIALOG, id);
  DialogTemplate parsed;
  std::string error;
  EXPECT_TRUE(platform::ParseDialogTemplate(bytes.data(), bytes.size(), &parsed, &error)) << error;
  return parsed;
}

struct Control {
  DWORD id;
  WORD classOrdinal;  // 0: the class is className
  const char16_t *className;
  const char16_t *text;  // null: the text is the ordinal textOrdinal
  WORD textOrdinal;
  short x, y, cx, cy;
  DWORD type, typeMask;  // (style & typeMask) must equal type
  DWORD present, absent;  // style bits that must be set, and must be clear
};

constexpr DWORD kNone = 65535;
constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
constexpr DWORD kTabStop = WS_TABSTOP, kGroup = WS_GROUP, kDisabled = WS_DISABLED;

Control Push(DWORD id, const char16_t *text, short x, short y, short cx, short cy, DWORD extra = 0) {
  return {id, kButton, nullptr, text, 0, x, y, cx, cy, BS_PUSHBUTTON, BS_TYPEMASK,
          kChild | kTabStop | extra, extra & kDisabled ? 0 : kDisabled};
}
Control DefPush(DWORD id, const char16_t *text, short x, short y, short cx, short cy) {
  return {id, kButton, nullptr, text, 0, x, y, cx, cy, BS_DEFPUSHBUTTON, BS_TYPEMASK, kChild | kTabStop, kDisabled};
}
Control Radio(DWORD id, const char16_t *text, short x, short y, short cx, short cy, bool startsGroup) {
  return {id, kButton, nullptr, text, 0, x, y, cx, cy, BS_AUTORADIOBUTTON, BS_TYPEMASK,
          kChild | (startsGroup ? kGroup : 0), kDisabled | (startsGroup ? 0 : kGroup)};
}
Control Group(DWORD id, const char16_t *text, short x, short y, short cx, short cy) {
  return {id, kButton, nullptr, text, 0, x, y, cx, cy, BS_GROUPBOX, BS_TYPEMASK, kChild, kTabStop};
}
Control Text(DWORD id, const char16_t *text, short x, short y, short cx, short cy) {
  return {id, kStatic, nullptr, text, 0, x, y, cx, cy, SS_LEFT, SS_TYPEMASK, kChild | kGroup, kTabStop};
}
Control Picture(WORD image, DWORD type, short x, short y, short cx, short cy) {
  return {kNone, kStatic, nullptr, nullptr, image, x, y, cx, cy, type, SS_TYPEMASK, kChild, kTabStop};
}
Control Slider(DWORD id, short x, short y, short cx, short cy) {
  return {id, 0, u"msctls_trackbar32", u"Slider1", 0, x, y, cx, cy, TBS_HORZ, TBS_VERT,
          kChild | TBS_NOTICKS | kTabStop, kDisabled};
}

void ExpectControls(const DialogTemplate &dialog, const std::vector<Control> &expected) {
  ASSERT_EQ(dialog.items.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const Control &want = expected[i];
    const DialogItemTemplate &item = dialog.items[i];
    SCOPED_TRACE("control " + std::to_string(i + 1) + ", id " + std::to_string(want.id));
    EXPECT_EQ(item.id, want.id);
    if (want.classOrdinal != 0) {
      EXPECT_TRUE(item.windowClass.isOrdinal);
      EXPECT_EQ(item.windowClass.ordinal, want.classOrdinal);
    } else {
      // Class names compare without regard to case; the resource compiler writes them in capitals.
      EXPECT_FALSE(item.windowClass.isOrdinal);
      EXPECT_TRUE(platform::EqualsIgnoreCase(item.windowClass.name, want.className))
          << platform::ToUtf8(item.windowClass.name);
    }
    if (want.text != nullptr) {
      EXPECT_FALSE(item.title.isOrdinal);
      EXPECT_EQ(item.title.name, want.text);
    } else {
      EXPECT_TRUE(item.title.isOrdinal);
      EXPECT_EQ(item.title.ordinal, want.textOrdinal);
    }
    EXPECT_EQ(item.x, want.x);
    EXPECT_EQ(item.y, want.y);
    EXPECT_EQ(item.cx, want.cx);
    EXPECT_EQ(item.cy, want.cy);
    EXPECT_EQ(item.style & want.typeMask, want.type) << std::hex << item.style;
    EXPECT_EQ(item.style & want.present, want.present) << std::hex << item.style;
    EXPECT_EQ(item.style & want.absent, 0u) << std::hex << item.style;
  }
}

constexpr DWORD kDialogStyle = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;

TEST(MainDialogTemplate, HeaderGivesCaptionSizeFontAndCaptionOkButton) {
  const DialogTemplate dialog = Template(IDD_MAIN);
  EXPECT_EQ(dialog.style & kDialogStyle, kDialogStyle);
  EXPECT_EQ(dialog.exStyle, static_cast<DWORD>(WS_EX_CAPTIONOKBTN | WS_EX_APPWINDOW));
  EXPECT_EQ(dialog.title, u"Calvex");
  EXPECT_EQ(dialog.cx, 269);
  EXPECT_EQ(dialog.cy, 120);
  EXPECT_EQ(dialog.pointSize, 12);
  EXPECT_EQ(dialog.typeface, u"System");
}

TEST(MainDialogTemplate, ControlsComeInTabOrderWithTheirTextsRectanglesAndStyles) {
  ExpectControls(Template(IDD_MAIN),
                 {Push(IDC_CALIBRATE_2PT, u"Calibrate 2pt", 142, 20, 55, 20),
                  Push(IDC_CALIBRATE_5PT, u"Calibrate 5pt", 142, 50, 55, 20),
                  Push(IDC_CALIBRATE_25PT, u"Calibrate 25pt", 142, 80, 55, 20),
                  Push(IDC_QUIT, u"Quit", 200, 80, 55, 20),
                  Picture(IDB_LOGO, SS_BITMAP, 38, 20, 44, 31),
                  Push(IDC_DRAW_TEST, u"Draw Test", 200, 20, 55, 20),
                  Text(kNone, u"www.norvik.example", 19, 100, 97, 8),
                  Text(kNone, u"Norvik touch utilities", 18, 72, 96, 8),
                  Push(IDC_TOUCH_SETTING, u"Touch Setting", 200, 50, 55, 20),
                  Group(IDC_FUNCTION_LIST, u"Functional List", 136, 6, 125, 106),
                  Text(kNone, u"Version:3.0.1.03.00", 18, 86, 64, 8)});
}

TEST(TouchSettingsTemplate, HeaderGivesCaptionSizeAndFont) {
  const DialogTemplate dialog = Template(IDD_TOUCH_SETTINGS);
  EXPECT_EQ(dialog.style & kDialogStyle, kDialogStyle);
  EXPECT_EQ(dialog.title, u"Touch  Settings");
  EXPECT_EQ(dialog.cx, 334);
  EXPECT_EQ(dialog.cy, 213);
  EXPECT_EQ(dialog.pointSize, 10);
  EXPECT_EQ(dialog.typeface, u"System");
}

TEST(TouchSettingsTemplate, ControlsComeInTabOrderWithTheirTextsRectanglesAndStyles) {
  ExpectControls(
      Template(IDD_TOUCH_SETTINGS),
      {Radio(IDC_MODE_DESKTOP, u"&Desktop", 94, 11, 56, 12, true),
       Radio(IDC_MODE_DRAWING, u"Dra&wing", 166, 11, 56, 12, false),
       Radio(IDC_MODE_BUTTON, u"&Button", 239, 11, 56, 12, false),
       Radio(IDC_SOUND_NONE, u"No Sound", 147, 79, 44, 17, true),
       Radio(IDC_SOUND_TOUCH_DOWN, u"Touch Down", 194, 79, 52, 17, false),
       Radio(IDC_SOUND_TOUCH_DOWN_LIFT, u"Touch Down && Lift", 252, 80, 71, 16, false),
       Push(IDC_CLICK_TIME_FAST, u"&Fast <<", 14, 127, 39, 15),
       Slider(IDC_CLICK_TIME_SLIDER, 53, 129, 78, 11),
       Push(IDC_CLICK_TIME_SLOW, u">> &Slow", 133, 127, 36, 15),
       Push(IDC_CLICK_AREA_SMALL, u"Sm&all <<", 176, 127, 36, 15),
       Slider(IDC_CLICK_AREA_SLIDER, 211, 129, 74, 11),
       Push(IDC_CLICK_AREA_LARGE, u">> &Large", 285, 127, 37, 15),
       Text(IDC_RATE_1, u"", 111, 167, 24, 11),
       Text(IDC_RATE_2, u"", 149, 167, 24, 11),
       Text(IDC_RATE_3, u"", 189, 167, 24, 11),
       Text(IDC_RATE_4, u"", 228, 167, 24, 11),
       Text(IDC_RATE_AVERAGE, u"", 295, 167, 27, 11),
       DefPush(IDOK, u"OK", 276, 191, 50, 14),
       Text(kNone, u"Place the right-click tool on your desktop.", 61, 73, 54, 26),
       Text(IDC_MODE_HELP,
            u"It is useful for general-purpose desktop applications. In Desktop mode, a touch positions the cursor "
            u"much like a mouse. Holding the touch is equal to pressing and holding the mouse button. Lifting the "
            u"touch off is equal to releasing the mouse button.",
            96, 23, 224, 35),
       Push(IDC_RIGHT_CLICK, u"&Right Click", 14, 76, 43, 19, WS_DISABLED),
       Text(kNone, u"Specify touch actions corresponding to click and drag with the mouse.", 14, 17, 78, 38),
       Picture(IDI_RIGHT_CLICK, SS_ICON, 114, 77, 20, 20),
       Text(kNone, u"Click Response Time", 61, 119, 79, 11),
       Text(kNone, u"Click Area", 234, 119, 43, 11),
       Text(kNone, u"Points/Sec.", 62, 168, 41, 11),
       Text(kNone, u"1.", 102, 168, 10, 11),
       Text(kNone, u"2.", 140, 168, 10, 11),
       Text(kNone, u"3.", 180, 168, 10, 11),
       Text(kNone, u"4.", 219, 168, 10, 11),
       Text(kNone, u"Average:", 262, 168, 32, 11),
       Push(IDC_MEASURE_START, u"&Start", 14, 166, 39, 15),
       Group(kNone, u"Touch Mode", 8, 6, 319, 56),
       Group(kNone, u"Right Click", 8, 62, 131, 43),
       Group(kNone, u"Touch Sound", 142, 62, 185, 43),
       Group(kNone, u"Double Click", 8, 107, 319, 45),
       Group(kNone, u"Measurement", 8, 154, 319, 33)});
}

DWORD Dword(const std::vector<BYTE> &bytes, size_t at) {
  DWORD value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}
WORD Word(const std::vector<BYTE> &bytes, size_t at) {
  WORD value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

// A group icon lists its images (14-byte entries after a 6-byte header); each image is an
// RT_ICON resource that starts with a BITMAPINFOHEADER of twice the height (colour and mask).
TEST(Images, IconsHoldA16And32PixelImageIn16Colours) {
  for (WORD icon : {static_cast<WORD>(IDR_MAINFRAME), static_cast<WORD>(IDI_RIGHT_CLICK)}) {
    SCOPED_TRACE("icon " + std::to_string(icon));
    const std::vector<BYTE> group = Resource(RT_GROUP_ICON, icon);
    ASSERT_GE(group.size(), 6u);
    ASSERT_EQ(Word(group, 4), 2);
    ASSERT_EQ(group.size(), 6u + 2 * 14);
    for (int i = 0; i < 2; ++i) {
      const size_t entry = 6 + 14 * static_cast<size_t>(i);
      const int size = i == 0 ? 16 : 32;
      EXPECT_EQ(group[entry], size);
      EXPECT_EQ(group[entry + 1], size);
      EXPECT_EQ(group[entry + 2], 16);  // colours
      EXPECT_EQ(Word(group, entry + 6), 4);  // bits per pixel
      const std::vector<BYTE> image = Resource(RT_ICON, Word(group, entry + 12));
      ASSERT_GE(image.size(), 40u);
      EXPECT_EQ(image.size(), Dword(group, entry + 8));
      EXPECT_EQ(Dword(image, 4), static_cast<DWORD>(size));
      EXPECT_EQ(Dword(image, 8), static_cast<DWORD>(2 * size));
      EXPECT_EQ(Word(image, 14), 4);
    }
  }
}

TEST(Images, LogoIs130By245At24BitsWithAllItsPixels) {
  const std::vector<BYTE> logo = Resource(RT_BITMAP, IDB_LOGO);
  ASSERT_GE(logo.size(), 40u);
  EXPECT_EQ(Dword(logo, 4), 130u);
  EXPECT_EQ(Dword(logo, 8), 245u);
  EXPECT_EQ(Word(logo, 14), 24);
  EXPECT_EQ(logo.size(), 40u + 392u * 245u);  // rows of 390 bytes padded to 392
}

struct LookupCase {
  const char *what;
  LPCWSTR name;
  LPCWSTR type;
  DWORD error;  // 0: found
};

TEST(ResourceCalls, FindResourceFindsByOrdinalOrNumberAndTellsMissingTypeFromMissingName) {
  const LookupCase cases[] = {
      {"dialog by ordinal", MAKEINTRESOURCEW(IDD_MAIN), RT_DIALOG, 0},
      {"dialog by \"#102\"", u"#102", RT_DIALOG, 0},
      {"missing dialog", MAKEINTRESOURCEW(999), RT_DIALOG, ERROR_RESOURCE_NAME_NOT_FOUND},
      {"string name that no resource has", u"MISSING", RT_DIALOG, ERROR_RESOURCE_NAME_NOT_FOUND},
      {"type the file lacks", MAKEINTRESOURCEW(IDD_MAIN), MAKEINTRESOURCEW(6), ERROR_RESOURCE_TYPE_NOT_FOUND},
  };
  for (const LookupCase &c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0);
    HRSRC found = FindResourceW(CalvexModule(), c.name, c.type);
    if (c.error == 0) {
      EXPECT_NE(found, nullptr) << GetLastError();
    } else {
      EXPECT_EQ(found, nullptr);
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
}

TEST(ResourceCalls, ForeignHandlesAreRefusedNotFollowed) {
  int notAHandle = 0;
  SetLastError(0);
  EXPECT_EQ(LoadResource(CalvexModule(), reinterpret_cast<HRSRC>(&notAHandle)), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(SizeofResource(CalvexModule(), reinterpret_cast<HRSRC>(&notAHandle)), 0u);
  EXPECT_EQ(FindResourceW(reinterpret_cast<HMODULE>(&notAHandle), MAKEINTRESOURCEW(IDD_MAIN), RT_DIALOG), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// This test program has no resource file beside it, so its own module is empty; the reason is
// reported once on stderr, naming the file that is missing.
TEST(ResourceCalls, ProgramWithoutResourceFileFailsWithDataNotFoundAndSaysWhichFile) {
  testing::internal::CaptureStderr();
  HMODULE program = GetModuleHandleW(nullptr);
  const std::string reported = testing::internal::GetCapturedStderr();
  ASSERT_NE(program, nullptr);
  EXPECT_NE(reported.find("resources_test.res"), std::string::npos) << reported;
  EXPECT_EQ(GetModuleHandleW(nullptr), program);
  SetLastError(0);
  EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(IDD_MAIN), RT_DIALOG), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
  EXPECT_EQ(GetModuleHandleW(u"other.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(ResourceFile, MissingOrCorruptFileIsRefusedWithItsPath) {
  testing_support::TempDeviceRoot root;
  const std::string corrupt = root.path() + "/corrupt.res";
  std::ofstream(corrupt, std::ios::binary) << "BM this is a bitmap, not resources";
  for (const std::string &path : {root.path() + "/missing.res", corrupt}) {
    std::string error;
    SetLastError(0);
    EXPECT_EQ(platform::LoadResourceFile(path, &error), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
    EXPECT_NE(error.find(path), std::string::npos) << error;
  }
}

bool Parses(const std::vector<BYTE> &bytes, std::string *error) {
  std::vector<platform::ResourceEntry> entries;
  return platform::ParseResourceFile(bytes.data(), bytes.size(), &entries, error);
}

TEST(ResourceFile, TruncationInsideAnyOfTheFirstEntriesIsRefused) {
  const std::vector<BYTE> file = ReadFile(kResourcePath);
  ASSERT_GT(file.size(), 64u);
  // Cuts that fall between entries leave a shorter but valid file; every other cut must fail.
  std::vector<size_t> boundaries;
  for (size_t at = 0; at < file.size();) {
    boundaries.push_back(at);
    at += (Dword(file, at + 4) + Dword(file, at) + 3) / 4 * 4;
  }
  for (size_t size = 1; size < 1200 && size < file.size(); ++size) {
    const std::vector<BYTE> cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size));
    std::string error;
    const bool atBoundary = std::find(boundaries.begin(), boundaries.end(), size) != boundaries.end();
    EXPECT_EQ(Parses(cut, &error), atBoundary) << "cut at " << size << ": " << error;
  }
}

TEST(ResourceFile, InconsistentSizesAreRefusedWithTheReason) {
  const std::vector<BYTE> file = ReadFile(kResourcePath);
  ASSERT_GT(file.size(), 64u);
  struct Case {
    const char *what;
    size_t at;
    DWORD value;
    const char *reason;
  } const cases[] = {
      {"data size past the end", 32, 0xFFFFFFF0u, "runs past the end"},
      {"header size too small", 36, 8, "smaller than its header"},
      {"header size past the end", 36, 0xFFFFFFF0u, "runs past the end"},
      {"no format marker", 0, 16, "32-bit resource file"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<BYTE> bad = file;
    std::memcpy(bad.data() + c.at, &c.value, sizeof c.value);
    std::string error;
    EXPECT_FALSE(Parses(bad, &error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

TEST(DialogTemplateParsing, EveryTruncatedTemplateIsRefused) {
  for (WORD id : {static_cast<WORD>(IDD_MAIN), static_cast<WORD>(IDD_TOUCH_SETTINGS)}) {
    const std::vector<BYTE> whole = Resource(RT_DIALOG, id);
    for (size_t size = 0; size < whole.size(); ++size) {
      DialogTemplate parsed;
      std::string error;
      EXPECT_FALSE(platform::ParseDialogTemplate(whole.data(), size, &parsed, &error)) << "template " << id << " cut at " << size;
      EXPECT_FALSE(error.empty());
    }
  }
}

TEST(DialogTemplateParsing, MoreItemsThanTheDataHoldsIsRefusedNamingTheItem) {
  std::vector<BYTE> bytes = Resource(RT_DIALOG, IDD_MAIN);
  ASSERT_GT(bytes.size(), 10u);
  bytes[8] = static_cast<BYTE>(bytes[8] + 1);  // cdit of a DLGTEMPLATE
  DialogTemplate parsed;
  std::string error;
  EXPECT_FALSE(platform::ParseDialogTemplate(bytes.data(), bytes.size(), &parsed, &error));
  EXPECT_NE(error.find("item 12 of 12"), std::string::npos) << error;
  EXPECT_FALSE(platform::ParseDialogTemplate(nullptr, 0, &parsed, &error));
}

// A header that claims 65535 items with none following is refused by its count, before the
// items are allocated (they would take megabytes), in both formats.
TEST(DialogTemplateParsing, ACountTheDataCannotHoldIsRefusedBeforeItSizesAnything) {
  struct Case {
    const char *what;
    bool extended;
    const char *says;
  };
  const Case cases[] = {
      {"DLGTEMPLATE", false, "its 65535 items need at least 1572840 bytes, but only 0 follow the header"},
      {"DLGTEMPLATEEX", true, "its 65535 items need at least 1966050 bytes, but only 0 follow the header"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<BYTE> b;
    auto word = [&](unsigned v) { b.insert(b.end(), {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8)}); };
    auto dword = [&](DWORD v) { word(v & 0xFFFF); word(v >> 16); };
    if (c.extended) {
      word(1); word(0xFFFF); dword(0); dword(0); dword(WS_POPUP);
    } else {
      dword(WS_POPUP); dword(0);
    }
    word(0xFFFF); word(0); word(0); word(100); word(50);
    word(0); word(0); word(0);  // no menu, the default class, no caption

    DialogTemplate parsed;
    std::string error;
    gLargest = 0;
    gRecording = true;
    const bool parsedOk = platform::ParseDialogTemplate(b.data(), b.size(), &parsed, &error);
    gRecording = false;
    EXPECT_FALSE(parsedOk);
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_LT(gLargest.load(), 4096u) << "the parser allocated " << gLargest.load() << " bytes at once";
  }
}

// A DLGTEMPLATEEX as compilers write for DIALOGEX: help ids, DWORD control ids and a font with
// weight, italic and charset.
TEST(DialogTemplateParsing, ExtendedTemplateKeepsHelpIdsFontDetailsAndCreationData) {
  std::vector<BYTE> b;
  auto word = [&](unsigned v) { b.insert(b.end(), {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8)}); };
  auto dword = [&](DWORD v) { word(v & 0xFFFF); word(v >> 16); };
  auto text = [&](const std::u16string &s) { for (char16_t c : s) word(c); word(0); };
  word(1); word(0xFFFF); dword(7); dword(WS_EX_APPWINDOW); dword(WS_POPUP | DS_SETFONT);
  word(1); word(1); word(2); word(100); word(50);
  word(0); word(0); text(u"Ex");
  word(9); word(700); b.push_back(1); b.push_back(0); text(u"System");
  while (b.size() % 4 != 0) b.push_back(0);
  dword(11); dword(0); dword(WS_CHILD | BS_DEFPUSHBUTTON); word(5); word(6); word(40); word(14);
  dword(70000); word(0xFFFF); word(kButton); text(u"OK"); word(2); b.push_back(0xAB); b.push_back(0xCD);

  DialogTemplate parsed;
  std::string error;
  ASSERT_TRUE(platform::ParseDialogTemplate(b.data(), b.size(), &parsed, &error)) << error;
  EXPECT_TRUE(parsed.extended);
  EXPECT_EQ(parsed.helpId, 7u);
  EXPECT_EQ(parsed.exStyle, static_cast<DWORD>(WS_EX_APPWINDOW));
  EXPECT_EQ(parsed.title, u"Ex");
  EXPECT_EQ(parsed.pointSize, 9);
  EXPECT_EQ(parsed.weight, 700);
  EXPECT_EQ(parsed.italic, 1);
  EXPECT_EQ(parsed.typeface, u"System");
  ASSERT_EQ(parsed.items.size(), 1u);
  EXPECT_EQ(parsed.items[0].helpId, 11u);
  EXPECT_EQ(parsed.items[0].id, 70000u);
  EXPECT_EQ(parsed.items[0].title.name, u"OK");
  EXPECT_EQ(parsed.items[0].creationData, (std::vector<BYTE>{0xAB, 0xCD}));
}

}  // namespace
