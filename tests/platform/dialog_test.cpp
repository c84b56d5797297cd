// Modal dialogs built from hand-made templates and driven by headless scripts: layout in pixels,
// clicks on buttons, radio groups and trackbars as the dialog procedure hears them, the ways a
// dialog ends, the owner's disabling, timers, message boxes, the dump, and scripts that fail.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/dialog_box.h"
#include "platform/headless.h"
#include "platform/pointer_output.h"
#include "test_root.h"

namespace {

using platform::DialogItemTemplate;
using platform::DialogTemplate;
namespace headless = platform::headless;

constexpr WORD kButton = 0x0080;
constexpr WORD kStatic = 0x0082;

DialogItemTemplate Item(WORD classOrdinal, DWORD id, std::u16string text, DWORD style, short x, short y, short cx,
                        short cy) {
  DialogItemTemplate item;
  item.windowClass.isOrdinal = true;
  item.windowClass.ordinal = classOrdinal;
  item.title.name = std::move(text);
  item.id = id;
  item.style = WS_CHILD | WS_VISIBLE | style;
  item.x = x, item.y = y, item.cx = cx, item.cy = cy;
  return item;
}

DialogItemTemplate Trackbar(DWORD id, short x, short y, short cx, short cy) {
  DialogItemTemplate item = Item(0, id, u"Slider1", TBS_NOTICKS | WS_TABSTOP, x, y, cx, cy);
  item.windowClass.isOrdinal = false;
  item.windowClass.name = u"msctls_trackbar32";
  return item;
}

DialogItemTemplate Image(DWORD style, WORD ordinal, short x, short y, short cx, short cy) {
  DialogItemTemplate item = Item(kStatic, 65535, u"", style, x, y, cx, cy);
  item.title.isOrdinal = true;
  item.title.ordinal = ordinal;
  return item;
}

// A dialog with a caption carrying the OK and close boxes, so that a script ends it with "ok".
DialogTemplate Dialog(std::u16string title, short cx, short cy, std::vector<DialogItemTemplate> items,
                      WORD pointSize = 12) {
  DialogTemplate dialog;
  dialog.style = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
  dialog.exStyle = WS_EX_CAPTIONOKBTN;
  dialog.title = std::move(title);
  dialog.cx = cx, dialog.cy = cy;
  dialog.pointSize = pointSize;
  dialog.typeface = u"System";
  dialog.items = std::move(items);
  return dialog;
}

// What the dialog procedure heard, and what a test has it do on the way.
struct Recorder {
  std::vector<std::string> heard;
  std::function<void(HWND, UINT, WPARAM, LPARAM)> onMessage;
};
thread_local Recorder *recorder = nullptr;

// Records WM_INITDIALOG, WM_COMMAND, WM_NOTIFY and WM_TIMER; ends the dialog on IDOK and IDCANCEL
// with that id, as a dialog with the usual buttons does.
INT_PTR CALLBACK RecordingProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (recorder->onMessage) recorder->onMessage(dialog, message, wParam, lParam);
  switch (message) {
    case WM_INITDIALOG:
      recorder->heard.push_back("init");
      return TRUE;
    case WM_COMMAND: {
      // lParam is the control clicked, or null for a command from no control (Escape, the caption's OK).
      HWND expected = GetDlgItem(dialog, LOWORD(wParam));
      recorder->heard.push_back(
          "command " + std::to_string(LOWORD(wParam)) + " code " + std::to_string(HIWORD(wParam)) +
          (lParam == 0 || reinterpret_cast<HWND>(lParam) == expected ? "" : " from another window"));
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) EndDialog(dialog, LOWORD(wParam));
      return TRUE;
    }
    case WM_NOTIFY: {
      const auto *header = reinterpret_cast<const NMHDR *>(lParam);
      recorder->heard.push_back(
          "notify " + std::to_string(header->idFrom) + " code " + std::to_string(static_cast<int>(header->code)) +
          " pos " + std::to_string(SendMessageW(header->hwndFrom, TBM_GETPOS, 0, 0)) +
          (header->hwndFrom == GetDlgItem(dialog, static_cast<int>(wParam)) ? "" : " from another window"));
      return TRUE;
    }
    case WM_TIMER:
      recorder->heard.push_back("timer " + std::to_string(wParam));
      return TRUE;
    default:
      return FALSE;
  }
}

struct Outcome {
  INT_PTR result = 0;
  std::vector<std::string> heard;
  std::string transcript;
  std::string error;
};

Outcome Play(const DialogTemplate &dialog, std::vector<headless::Action> actions, HWND owner = nullptr,
             std::function<void(HWND, UINT, WPARAM, LPARAM)> onMessage = nullptr) {
  Recorder record{{}, std::move(onMessage)};
  recorder = &record;
  headless::Session session(std::move(actions));
  Outcome run;
  run.result = platform::DialogBoxFromTemplate(nullptr, dialog, owner, RecordingProc, 0);
  recorder = nullptr;
  run.heard = record.heard;
  run.transcript = session.Transcript();
  run.error = session.Error();
  return run;
}

DialogTemplate Buttons() {
  return Dialog(u"Buttons", 100, 60,
                {Item(kButton, IDOK, u"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 4, 40, 40, 14),
                 Item(kButton, 1016, u"&Quit", BS_PUSHBUTTON | WS_TABSTOP, 50, 40, 40, 14),
                 Item(kButton, 1017, u"Off", BS_PUSHBUTTON | WS_DISABLED, 4, 4, 40, 14)});
}

TEST(DialogLayout, ControlsStandAtTheirTemplateRectanglesInPixels) {
  // The main dialog's template: 269 x 120 units in the 12-point system font is 538 x 240 pixels.
  DialogTemplate dialog = Dialog(u"Calvex", 269, 120,
                                 {Item(kButton, 1008, u"Functional List", BS_GROUPBOX, 133, 7, 125, 106),
                                  Item(kButton, 1011, u"2 Points", BS_PUSHBUTTON, 141, 21, 55, 20)});
  struct Expected {
    int id;
    RECT client;  // the control's rectangle in the dialog's client area
  };
  const Expected expected[] = {{1008, {266, 14, 516, 226}}, {1011, {282, 42, 392, 82}}};
  Outcome run =
      Play(dialog, {headless::Dump(), headless::Escape()}, nullptr, [&](HWND hwnd, UINT message, WPARAM, LPARAM) {
        if (message != WM_INITDIALOG) return;
        RECT client;
        ASSERT_TRUE(GetClientRect(hwnd, &client));
        EXPECT_EQ(client.right, 538);
        EXPECT_EQ(client.bottom, 240);
        // The window is the client area with the caption above it.
        RECT dialogRect;
        ASSERT_TRUE(GetWindowRect(hwnd, &dialogRect));
        POINT origin{0, 0};
        ASSERT_TRUE(ClientToScreen(hwnd, &origin));
        EXPECT_EQ(dialogRect.right - dialogRect.left, 538);
        EXPECT_EQ(dialogRect.bottom - dialogRect.top, 240 + 26);
        EXPECT_EQ(origin.x, dialogRect.left);
        EXPECT_EQ(origin.y, dialogRect.top + 26);
        for (const Expected &item : expected) {
          RECT screen;
          ASSERT_TRUE(GetWindowRect(GetDlgItem(hwnd, item.id), &screen)) << item.id;
          EXPECT_EQ(screen.left - origin.x, item.client.left) << item.id;
          EXPECT_EQ(screen.top - origin.y, item.client.top) << item.id;
          EXPECT_EQ(screen.right - origin.x, item.client.right) << item.id;
          EXPECT_EQ(screen.bottom - origin.y, item.client.bottom) << item.id;
        }
        RECT units{4, 8, 133, 7};
        ASSERT_TRUE(MapDialogRect(hwnd, &units));
        EXPECT_EQ(units.left, 8);
        EXPECT_EQ(units.top, 16);
        EXPECT_EQ(units.right, 266);
        EXPECT_EQ(units.bottom, 14);
      });
  EXPECT_EQ(run.result, IDCANCEL) << run.error;
}

TEST(DialogLayout, BaseUnitsFollowTheTemplateFontSize) {
  struct Case {
    WORD pointSize;  // 0: no font in the template
    int cx, cy;
  };
  const Case cases[] = {{0, 8, 16}, {12, 8, 16}, {10, 6, 13}, {9, 6, 12}, {8, 5, 11}};
  for (const Case &c : cases) {
    DialogTemplate dialog = Dialog(u"Font", 10, 10, {}, c.pointSize);
    if (c.pointSize == 0) dialog.style &= ~static_cast<DWORD>(DS_SETFONT);
    platform::DialogBaseUnits units = platform::BaseUnitsOf(dialog);
    EXPECT_EQ(units.cx, c.cx) << c.pointSize;
    EXPECT_EQ(units.cy, c.cy) << c.pointSize;
  }
}

TEST(DialogClicks, ButtonClickReachesTheDialogProcedureAsBnClicked) {
  Outcome run = Play(Buttons(), {headless::Click(1016), headless::Click(IDOK)});
  EXPECT_EQ(run.result, IDOK) << run.error;
  EXPECT_EQ(run.heard, (std::vector<std::string>{"init", "command 1016 code 0", "command 1 code 0"}));
}

TEST(DialogClicks, DisabledButtonCannotBeClickedAndFailsTheScript) {
  Outcome run = Play(Buttons(), {headless::Click(1017)});
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(run.heard, std::vector<std::string>{"init"});
  EXPECT_EQ(run.error,
            "action 1 (click 1017): control 1017 of dialog \"Buttons\" is disabled or hidden, so a click "
            "cannot reach it");
}

TEST(DialogClicks, AutoRadioButtonChecksItselfAndClearsOnlyItsOwnGroup) {
  DWORD radio = BS_AUTORADIOBUTTON;
  DialogTemplate dialog = Dialog(
      u"Radios", 100, 100,
      {Item(kButton, 1051, u"Desktop", radio | WS_GROUP, 0, 0, 40, 10),
       Item(kButton, 1052, u"Drawing", radio, 0, 10, 40, 10), Item(kButton, 1053, u"Button", radio, 0, 20, 40, 10),
       Item(kButton, 1055, u"None", radio | WS_GROUP, 50, 0, 40, 10),
       Item(kButton, 1056, u"Down", radio, 50, 10, 40, 10),
       Item(kStatic, 1070, u"Label", SS_LEFT | WS_GROUP, 0, 40, 40, 10)});
  const int ids[] = {1051, 1052, 1053, 1055, 1056};
  struct Case {
    std::vector<int> clicks;
    std::string checked;  // check of 1051 1052 1053 1055 1056 afterwards
  };
  const Case cases[] = {
      {{1052}, "01000"},
      {{1052, 1055}, "01010"},
      {{1052, 1055, 1053}, "00110"},
      {{1056, 1051, 1055}, "10010"},
  };
  for (const Case &c : cases) {
    std::vector<headless::Action> actions;
    for (int id : c.clicks) actions.push_back(headless::Click(id));
    actions.push_back(headless::Ok());
    std::string checked;
    Outcome run = Play(dialog, actions, nullptr, [&](HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
      if (message != WM_COMMAND || LOWORD(wParam) != IDOK) return;
      for (int id : ids) checked += SendDlgItemMessageW(hwnd, id, BM_GETCHECK, 0, 0) == BST_CHECKED ? '1' : '0';
    });
    EXPECT_EQ(run.result, IDOK) << run.error;
    EXPECT_EQ(checked, c.checked) << ::testing::PrintToString(c.clicks);
  }
}

TEST(DialogClicks, CheckRadioButtonChecksOneAndClearsTheRestOfTheRange) {
  DialogTemplate dialog = Dialog(u"Radios", 100, 100,
                                 {Item(kButton, 1055, u"None", BS_AUTORADIOBUTTON | WS_GROUP, 0, 0, 40, 10),
                                  Item(kButton, 1056, u"Down", BS_AUTORADIOBUTTON, 0, 10, 40, 10),
                                  Item(kButton, 1057, u"Lift", BS_AUTORADIOBUTTON, 0, 20, 40, 10)});
  std::string checked;
  Outcome run = Play(dialog, {headless::Ok()}, nullptr, [&](HWND hwnd, UINT message, WPARAM, LPARAM) {
    if (message != WM_INITDIALOG) return;
    CheckRadioButton(hwnd, 1055, 1057, 1055);
    CheckRadioButton(hwnd, 1055, 1057, 1057);
    for (int id : {1055, 1056, 1057})
      checked += SendDlgItemMessageW(hwnd, id, BM_GETCHECK, 0, 0) == BST_CHECKED ? '1' : '0';
  });
  EXPECT_EQ(run.result, IDOK) << run.error;
  EXPECT_EQ(checked, "001");
}

DialogTemplate Sliders() {
  return Dialog(u"Sliders", 200, 60,
                {Trackbar(1059, 53, 10, 78, 11), Trackbar(1062, 53, 30, 74, 11),
                 Item(kButton, IDOK, u"OK", BS_PUSHBUTTON, 140, 40, 40, 14)},
                10);
}

// Sets the sliders' ranges as the settings dialog does: 1..100 and 2500..15000.
void SetRanges(HWND hwnd, UINT message, WPARAM, LPARAM) {
  if (message != WM_INITDIALOG) return;
  SendDlgItemMessageW(hwnd, 1059, TBM_SETRANGEMIN, FALSE, 1);
  SendDlgItemMessageW(hwnd, 1059, TBM_SETRANGEMAX, FALSE, 100);
  SendDlgItemMessageW(hwnd, 1062, TBM_SETRANGEMIN, FALSE, 2500);
  SendDlgItemMessageW(hwnd, 1062, TBM_SETRANGEMAX, FALSE, 15000);
}

TEST(DialogTrackbar, ClickNotifiesNmClickWithTheClickedPositionAlreadyTaken) {
  // Positions finer than a pixel of the 111-pixel-wide slider are taken exactly.
  Outcome run = Play(Sliders(),
                     {headless::Slider(1059, 40), headless::Slider(1062, 7501), headless::Slider(1059, 500),
                      headless::Slider(1062, -3), headless::Ok()},
                     nullptr, SetRanges);
  EXPECT_EQ(run.result, IDOK) << run.error;
  EXPECT_EQ(run.heard, (std::vector<std::string>{"init", "notify 1059 code -2 pos 40", "notify 1062 code -2 pos 7501",
                                                 "notify 1059 code -2 pos 100", "notify 1062 code -2 pos 2500",
                                                 "command 1 code 0"}));
}

TEST(DialogTrackbar, PositionStaysWithinTheRange) {
  struct Case {
    const char *what;
    std::vector<std::pair<UINT, LPARAM>> messages;  // sent in order, wParam TRUE
    LRESULT minimum, maximum, position;
  };
  const Case cases[] = {
      {"a new trackbar", {}, 0, 100, 0},
      {"a position inside", {{TBM_SETPOS, 30}}, 0, 100, 30},
      {"a position above", {{TBM_SETPOS, 130}}, 0, 100, 100},
      {"a position below", {{TBM_SETPOS, -5}}, 0, 100, 0},
      {"a minimum above the position", {{TBM_SETPOS, 30}, {TBM_SETRANGEMIN, 50}}, 50, 100, 50},
      {"a maximum below the position", {{TBM_SETPOS, 30}, {TBM_SETRANGEMAX, 20}}, 0, 20, 20},
      {"TBM_SETRANGE", {{TBM_SETPOS, 90}, {TBM_SETRANGE, MAKELPARAM(10, 60)}}, 10, 60, 60},
  };
  for (const Case &c : cases) {
    LRESULT minimum = -1, maximum = -1, position = -1;
    Play(Sliders(), {headless::Ok()}, nullptr, [&](HWND hwnd, UINT message, WPARAM, LPARAM) {
      if (message != WM_INITDIALOG) return;
      for (auto [msg, value] : c.messages) SendDlgItemMessageW(hwnd, 1059, msg, TRUE, value);
      minimum = SendDlgItemMessageW(hwnd, 1059, TBM_GETRANGEMIN, 0, 0);
      maximum = SendDlgItemMessageW(hwnd, 1059, TBM_GETRANGEMAX, 0, 0);
      position = SendDlgItemMessageW(hwnd, 1059, TBM_GETPOS, 0, 0);
    });
    EXPECT_EQ(minimum, c.minimum) << c.what;
    EXPECT_EQ(maximum, c.maximum) << c.what;
    EXPECT_EQ(position, c.position) << c.what;
  }
}

TEST(DialogEnding, EachWayOutEndsTheModalCallWithItsResult) {
  struct Case {
    const char *what;
    headless::Action action;
    INT_PTR result;
  };
  const Case cases[] = {
      {"Escape", headless::Escape(), IDCANCEL},
      {"the close box", headless::Close(), IDCANCEL},
      {"the caption's OK button", headless::Ok(), IDOK},
      {"a button whose handler ends the dialog with 42", headless::Click(1016), 42},
  };
  for (const Case &c : cases) {
    Outcome run = Play(Buttons(), {c.action}, nullptr, [](HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
      if (message == WM_COMMAND && LOWORD(wParam) == 1016) EndDialog(hwnd, 42);
    });
    EXPECT_EQ(run.result, c.result) << c.what << ": " << run.error;
    EXPECT_EQ(run.error, "") << c.what;
  }
}

TEST(DialogEnding, EndDialogDuringInitDialogEndsBeforeAnyUserAction) {
  Outcome run = Play(Buttons(), {}, nullptr, [](HWND hwnd, UINT message, WPARAM, LPARAM) {
    if (message == WM_INITDIALOG) EndDialog(hwnd, 7);
  });
  EXPECT_EQ(run.result, 7);
  EXPECT_EQ(run.error, "");
}

TEST(DialogEnding, DialogIsDestroyedWhenTheModalCallReturns) {
  HWND seen = nullptr;
  Play(Buttons(), {headless::Ok()}, nullptr, [&](HWND hwnd, UINT, WPARAM, LPARAM) { seen = hwnd; });
  ASSERT_NE(seen, nullptr);
  EXPECT_FALSE(IsWindow(seen));
  EXPECT_FALSE(EndDialog(seen, IDOK));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

// A plain top-level window to own dialogs.
HWND MakeOwner() {
  static const ATOM registered = [] {
    WNDCLASSW ownerClass{};
    ownerClass.lpfnWndProc = DefWindowProcW;
    ownerClass.lpszClassName = u"DialogTestOwner";
    return RegisterClassW(&ownerClass);
  }();
  EXPECT_NE(registered, 0);
  return CreateWindowExW(0, u"DialogTestOwner", u"Owner", WS_OVERLAPPED | WS_VISIBLE, 0, 0, 320, 240, nullptr, nullptr,
                         nullptr, nullptr);
}

TEST(DialogOwner, OwnerIsDisabledWhileTheDialogRunsAndEnabledAfter) {
  HWND owner = MakeOwner();
  ASSERT_NE(owner, nullptr);
  std::vector<BOOL> enabledDuring;
  Outcome run =
      Play(Buttons(), {headless::Click(1016), headless::Ok()}, owner, [&](HWND, UINT message, WPARAM, LPARAM) {
        if (message == WM_INITDIALOG || message == WM_COMMAND) enabledDuring.push_back(IsWindowEnabled(owner));
      });
  EXPECT_EQ(run.result, IDOK) << run.error;
  // WM_INITDIALOG comes before the modal loop starts; the clicks come during it.
  EXPECT_EQ(enabledDuring, (std::vector<BOOL>{TRUE, FALSE, FALSE}));
  EXPECT_TRUE(IsWindowEnabled(owner));

  EnableWindow(owner, FALSE);
  Play(Buttons(), {headless::Ok()}, owner);
  EXPECT_FALSE(IsWindowEnabled(owner)) << "an owner disabled before the dialog was enabled by it";
  DestroyWindow(owner);
}

TEST(DialogOwner, NestedDialogDisablesTheDialogThatOpenedIt) {
  BOOL outerEnabledInside = TRUE;
  BOOL outerEnabledAfter = FALSE;
  INT_PTR innerResult = 0;
  Outcome run = Play(Buttons(), {headless::Click(1016), headless::Click(1016), headless::Escape(), headless::Ok()},
                     nullptr, [&](HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
                       if (message != WM_COMMAND || LOWORD(wParam) != 1016) return;
                       if (GetParent(hwnd) != nullptr) {
                         outerEnabledInside = IsWindowEnabled(GetParent(hwnd));
                         return;
                       }
                       innerResult = platform::DialogBoxFromTemplate(nullptr, Buttons(), hwnd, RecordingProc, 0);
                       outerEnabledAfter = IsWindowEnabled(hwnd);
                     });
  EXPECT_EQ(run.result, IDOK) << run.error;
  EXPECT_EQ(innerResult, IDCANCEL);
  EXPECT_FALSE(outerEnabledInside);
  EXPECT_TRUE(outerEnabledAfter);
}

TEST(DialogTimers, TimersFireOnlyWhenTheScriptLetsPeriodsPass) {
  // The first click on 1016 starts the timer and the second kills it, so the last tick finds none.
  int clicks = 0;
  Outcome run = Play(Buttons(),
                     {headless::Tick(1), headless::Click(1016), headless::Tick(2), headless::Click(1016),
                      headless::Tick(3), headless::Ok()},
                     nullptr, [&](HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
                       if (message != WM_COMMAND || LOWORD(wParam) != 1016) return;
                       if (++clicks == 1) {
                         EXPECT_EQ(SetTimer(hwnd, 7, 1000, nullptr), 7u);
                       } else {
                         EXPECT_TRUE(KillTimer(hwnd, 7));
                       }
                     });
  EXPECT_EQ(run.result, IDOK) << run.error;
  EXPECT_EQ(run.heard, (std::vector<std::string>{"init", "command 1016 code 0", "timer 7", "timer 7",
                                                 "command 1016 code 0", "command 1 code 0"}));
}

TEST(DialogTimers, KillTimerOfAnUnknownTimerFails) {
  Outcome run = Play(Buttons(), {headless::Ok()}, nullptr, [](HWND hwnd, UINT message, WPARAM, LPARAM) {
    if (message != WM_INITDIALOG) return;
    EXPECT_FALSE(KillTimer(hwnd, 99));
    EXPECT_EQ(SetTimer(nullptr, 5, 10, nullptr), 0u) << "a timer with neither window nor procedure";
  });
  EXPECT_EQ(run.result, IDOK) << run.error;
}

// Takes the thread's messages until one of `wanted` arrives, for at most ten seconds: a watchdog
// thread wakes the wait by posting WM_USER + 99 to `window` once the bound has passed.
MSG TakeUntil(HWND window, UINT wanted) {
  std::promise<void> finished;
  std::thread watchdog([&, done = finished.get_future()] {
    if (done.wait_for(std::chrono::seconds(10)) == std::future_status::timeout)
      PostMessageW(window, WM_USER + 99, 0, 0);
  });
  MSG message{};
  while (GetMessageW(&message, nullptr, 0, 0) > 0 && message.message != wanted && message.message != WM_USER + 99) {
  }
  finished.set_value();
  watchdog.join();
  return message;
}

int timerProcCalls = 0;
void CALLBACK CountingTimerProc(HWND, UINT, UINT_PTR, DWORD) { ++timerProcCalls; }

TEST(DialogTimers, WithoutAScriptTimersFollowTheRealClock) {
  HWND window = MakeOwner();
  ASSERT_NE(window, nullptr);
  ASSERT_EQ(SetTimer(window, 3, 10, nullptr), 3u);
  MSG message = TakeUntil(window, WM_TIMER);
  EXPECT_EQ(message.message, static_cast<UINT>(WM_TIMER)) << "no WM_TIMER within the bound";
  EXPECT_EQ(message.hwnd, window);
  EXPECT_EQ(message.wParam, 3u);
  EXPECT_TRUE(KillTimer(window, 3));

  timerProcCalls = 0;
  UINT_PTR id = SetTimer(nullptr, 0, 10, CountingTimerProc);
  ASSERT_NE(id, 0u);
  // A tick of timer 3 posted just before it was killed may still wait in the queue: it names no
  // procedure.
  do {
    message = TakeUntil(window, WM_TIMER);
  } while (message.message == WM_TIMER && message.lParam == 0);
  ASSERT_EQ(message.message, static_cast<UINT>(WM_TIMER));
  DispatchMessageW(&message);
  EXPECT_EQ(timerProcCalls, 1) << "the timer procedure was not called by DispatchMessageW";
  EXPECT_TRUE(KillTimer(nullptr, id));
  DestroyWindow(window);
}

// A thread kept busy for many periods (a slow handler, a device call that waits) finds one tick
// waiting, not one per period, and only after the messages posted meanwhile; a timer killed while
// its tick waits delivers none.
TEST(DialogTimers, AThreadBusyForManyPeriodsFindsOneTickAfterItsPostedMessages) {
  HWND window = MakeOwner();
  ASSERT_NE(window, nullptr);
  ASSERT_EQ(SetTimer(window, 4, 10, nullptr), 4u);
  ASSERT_EQ(TakeUntil(window, WM_TIMER).message, static_cast<UINT>(WM_TIMER)) << "the clock does not run";
  auto busy = [] { std::this_thread::sleep_for(std::chrono::milliseconds(500)); };

  busy();
  ASSERT_TRUE(PostMessageW(window, WM_USER + 5, 0, 0));
  std::vector<UINT> taken;
  MSG message{};
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) taken.push_back(message.message);
  EXPECT_EQ(taken, (std::vector<UINT>{WM_USER + 5, WM_TIMER}));

  busy();
  EXPECT_TRUE(KillTimer(window, 4));
  EXPECT_FALSE(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) << "message " << message.message;
  DestroyWindow(window);
}

TEST(DialogTimers, PostedWmTimerWithAForgedProcedureIsNotCalled) {
  HWND window = MakeOwner();
  ASSERT_NE(window, nullptr);
  MSG forged{window, WM_TIMER, 3, 0x1234, 0, {0, 0}};
  EXPECT_EQ(DispatchMessageW(&forged), 0);
  DestroyWindow(window);
}

TEST(DialogMessageBox, BoxIsRecordedAndTheScriptedAnswerReturned) {
  struct Case {
    UINT type;
    headless::Action answer;
    int result;
    std::string line;
  };
  const Case cases[] = {
      {MB_YESNO | MB_ICONQUESTION, headless::Answer(IDNO), IDNO,
       "message box \"Touch\" \"Start \\\"now\\\"?\" buttons=yes,no icon=question\n"},
      {MB_OK, headless::Answer(IDOK), IDOK, "message box \"Touch\" \"Start \\\"now\\\"?\" buttons=ok\n"},
      {MB_RETRYCANCEL, headless::Answer(IDCANCEL), IDCANCEL,
       "message box \"Touch\" \"Start \\\"now\\\"?\" buttons=retry,cancel\n"},
  };
  for (const Case &c : cases) {
    int answer = 0;
    BOOL ownerEnabled = TRUE;
    Outcome run = Play(Buttons(), {headless::Click(1016), c.answer, headless::Ok()}, nullptr,
                       [&](HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
                         if (message != WM_COMMAND || LOWORD(wParam) != 1016) return;
                         answer = MessageBoxW(hwnd, u"Start \"now\"?", u"Touch", c.type);
                         ownerEnabled = IsWindowEnabled(hwnd);
                       });
    EXPECT_EQ(run.result, IDOK) << run.error;
    EXPECT_EQ(answer, c.result);
    EXPECT_EQ(run.transcript, c.line);
    EXPECT_TRUE(ownerEnabled) << "the owner stays disabled after the box";
  }
}

// A dump taken while a box waits for its answer shows the box where a display shows it: its
// rectangle centred on the 800 x 480 screen, its caption with the close box, and its client area.
// The second box is calvex's prompt, which the display test finds at (192,189), 416 x 102.
TEST(DialogMessageBox, DumpWhileABoxWaitsGivesTheBoxItsRectangle) {
  struct Case {
    const char16_t *caption;
    const char16_t *text;
    UINT type;
    headless::Action answer;
    std::string lines;
  };
  const Case cases[] = {
      {u"Box", u"Go?", MB_OKCANCEL, headless::Answer(IDOK),
       "message box \"Box\" (312,189)-(488,291)\n  caption \"Box\" (312,189)-(488,215)\n"
       "  caption close (462,189)-(488,215)\n  client (312,215)-(488,291)\n"},
      {u" 2 Point Calibration", u" 2 Point Calibration Finished!, Calibrate again? ", MB_YESNO, headless::Answer(IDNO),
       "message box \" 2 Point Calibration\" (192,189)-(608,291)\n  caption \" 2 Point Calibration\" (192,189)-(608,215)\n"
       "  caption close (582,189)-(608,215)\n  client (192,215)-(608,291)\n"},
  };
  for (const Case &c : cases) {
    Outcome run = Play(Buttons(), {headless::Click(1016), headless::Dump(), c.answer, headless::Ok()}, nullptr,
                       [&](HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
                         if (message == WM_COMMAND && LOWORD(wParam) == 1016) MessageBoxW(hwnd, c.text, c.caption, c.type);
                       });
    EXPECT_EQ(run.result, IDOK) << run.error;
    const size_t box = run.transcript.find("\nmessage box \"", run.transcript.find("buttons="));
    ASSERT_NE(box, std::string::npos) << run.transcript;
    EXPECT_EQ(run.transcript.substr(box + 1), c.lines);
  }
}

TEST(DialogMessageBox, OwnerIsDisabledWhileTheBoxWaits) {
  Outcome run = Play(Buttons(), {headless::Click(1016), headless::Dump(), headless::Answer(IDOK), headless::Ok()},
                     nullptr, [&](HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
                       if (message == WM_COMMAND && LOWORD(wParam) == 1016) MessageBoxW(hwnd, u"Hi", u"Box", MB_OK);
                     });
  EXPECT_EQ(run.result, IDOK) << run.error;
  EXPECT_NE(run.transcript.find("#32770 id=0 \"Buttons\" (0,0)-(200,146) visible disabled\n"), std::string::npos)
      << run.transcript;
}

// A quit request (the program's SIGTERM) that arrives while the box waits ends the box without an
// answer and then the dialog under it; one that waits already keeps a box from opening.
TEST(DialogMessageBox, AQuitRequestEndsTheBoxUnansweredAndThenTheDialog) {
  for (bool before : {false, true}) {
    SCOPED_TRACE(before ? "quit waiting as the box opens" : "quit while the box waits");
    auto quit = [] { PostThreadMessageW(GetCurrentThreadId(), WM_QUIT, 0, 0); };
    int answer = -1;
    std::vector<headless::Action> script{headless::Click(1016)};
    if (!before) script.push_back(headless::Call(quit));
    script.insert(script.end(), {headless::Answer(IDYES), headless::Ok()});
    Outcome run = Play(Buttons(), script, nullptr, [&](HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
      if (message != WM_COMMAND || LOWORD(wParam) != 1016) return;
      if (before) quit();
      answer = MessageBoxW(hwnd, u"Again?", u"Box", MB_YESNO);
    });
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(run.result, 0) << "the dialog went on after the quit request: " << run.error;
    MSG message{};
    EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the quit request was swallowed";
  }
}

TEST(DialogMessageBox, WithoutAScriptThereIsNoScreenToShowItOn) {
  EXPECT_EQ(MessageBoxW(nullptr, u"Text", u"Caption", MB_OK), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST(DialogDump, DumpShowsTheTreeWithStateOfEachControl) {
  DialogTemplate dialog =
      Dialog(u"Touch  Settings", 160, 60,
             {Item(kButton, IDOK, u"OK", BS_DEFPUSHBUTTON, 4, 40, 40, 14),
              Item(kButton, 1055, u"None", BS_AUTORADIOBUTTON | WS_GROUP, 4, 4, 40, 10),
              Item(kButton, 1056, u"Down", BS_AUTORADIOBUTTON, 4, 14, 40, 10), Trackbar(1059, 50, 4, 78, 11),
              Image(SS_ICON, 134, 120, 30, 20, 20), Image(SS_BITMAP, 129, 140, 30, 10, 10),
              Item(kStatic, 1070, u"a \"b\"\\c", SS_LEFT, 50, 20, 60, 8)},
             10);
  dialog.exStyle = 0;  // a caption with the close box alone
  Outcome run = Play(dialog, {headless::Click(1056), headless::Slider(1059, 40), headless::Dump(), headless::Escape()},
                     nullptr, [](HWND hwnd, UINT message, WPARAM, LPARAM) {
                       if (message != WM_INITDIALOG) return;
                       SetWindowPos(hwnd, HWND_TOPMOST, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                    SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW);
                       ShowWindow(GetDlgItem(hwnd, 1055), SW_HIDE);
                       EnableWindow(GetDlgItem(hwnd, IDOK), FALSE);
                     });
  EXPECT_EQ(run.result, IDCANCEL) << run.error;
  EXPECT_EQ(run.transcript,
            "#32770 id=0 \"Touch  Settings\" (0,0)-(240,124) visible enabled topmost\n"
            "  caption \"Touch  Settings\" (0,0)-(240,26)\n"
            "  caption close (214,0)-(240,26)\n"
            "  client (0,26)-(240,124)\n"
            "  BUTTON id=1 \"OK\" (6,65)-(66,88) visible disabled\n"
            "  BUTTON id=1055 \"None\" (6,7)-(66,23) hidden enabled unchecked\n"
            "  BUTTON id=1056 \"Down\" (6,23)-(66,39) visible enabled checked\n"
            "  msctls_trackbar32 id=1059 \"Slider1\" (75,7)-(192,25) visible enabled range=0..100 pos=40\n"
            "  STATIC id=65535 \"\" (180,49)-(210,82) visible enabled icon=134\n"
            "  STATIC id=65535 \"\" (210,49)-(225,65) visible enabled bitmap=129\n"
            "  STATIC id=1070 \"a \\\"b\\\"\\\\c\" (75,33)-(165,46) visible enabled\n");
}

TEST(DialogScript, ScriptThatRunsOutWhileADialogWaitsEndsWithAClearError) {
  Outcome run = Play(Buttons(), {headless::Click(1016)});
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(run.error,
            "the script ended while dialog \"Buttons\" waits for the user; add the actions that close it, such as "
            "\"escape\" or \"close\"");
}

TEST(DialogScript, ActionsThatCannotBePlayedFailTheRun) {
  struct Case {
    std::vector<headless::Action> actions;
    std::string error;
  };
  const Case cases[] = {
      {{headless::Click(999)}, "action 1 (click 999): dialog \"Buttons\" has no control 999"},
      {{headless::Slider(1016, 3)}, "action 1 (slider 1016 3): control 1016 of dialog \"Buttons\" is not a trackbar"},
      {{headless::Answer(IDYES)},
       "action 1 (answer yes): no message box is open; dialog \"Buttons\" waits for the user"},
      {{headless::Click(1016)},
       "the script ended while message box \"Box\" waits for an answer; add an "
       "\"answer\" line for it"},
      {{headless::Click(1016), headless::Escape()},
       "action 2 (escape): message box \"Box\" waits for an answer; answer it first"},
      {{headless::Click(1016), headless::Answer(IDNO)},
       "action 2 (answer no): message box \"Box\" has no such button; its buttons are ok,cancel"},
  };
  for (const Case &c : cases) {
    int boxAnswer = -1;
    Outcome run = Play(Buttons(), c.actions, nullptr, [&](HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
      if (message == WM_COMMAND && LOWORD(wParam) == 1016) boxAnswer = MessageBoxW(hwnd, u"Go?", u"Box", MB_OKCANCEL);
    });
    EXPECT_EQ(run.result, -1) << c.error;
    EXPECT_EQ(run.error, c.error);
    if (boxAnswer != -1) {
      EXPECT_EQ(boxAnswer, 0) << "a box the script could not answer";
    }
  }
  // "ok" clicks the caption's OK box: a dialog whose caption has none cannot take it, as a dialog
  // without a control cannot take a click on it.
  DialogTemplate withoutOkBox = Buttons();
  withoutOkBox.exStyle = 0;
  std::vector<headless::Action> actions;
  std::string error;
  ASSERT_TRUE(headless::ParseScript("# no OK box\nok\n", &actions, &error)) << error;
  Outcome run = Play(withoutOkBox, actions);
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(run.error, "line 2 (ok): dialog \"Buttons\" has no OK box in its caption; close it with \"escape\" or \"close\"");
}

TEST(DialogScript, TextScriptParsesOneActionALine) {
  std::vector<headless::Action> actions;
  std::string error;
  ASSERT_TRUE(
      headless::ParseScript("# settings\nclick 1016\n\n  slider 1059 -40  \r\nanswer yes\nescape\nclose\n"
                            "ok\ntick 3\nwait 250\nawait \" 5 Point \\\"Cal\\\\\"  30000 \r\ndump",
                            &actions, &error))
      << error;
  std::vector<std::string> described;
  for (const auto &action : actions) described.push_back(headless::Describe(action));
  EXPECT_EQ(described, (std::vector<std::string>{"click 1016", "slider 1059 -40", "answer yes", "escape", "close", "ok",
                                                 "tick 3", "wait 250", "await \" 5 Point \\\"Cal\\\\\" 30000", "dump"}));
  EXPECT_EQ(actions[1].line, 4);
  EXPECT_EQ(actions[8].caption, u" 5 Point \"Cal\\") << "the caption keeps its blanks and loses its escapes";
}

TEST(DialogScript, MalformedLinesAreRefusedWithTheLineAndTheFix) {
  struct Case {
    const char *script;
    const char *error;
  };
  const Case cases[] = {
      {"press 3",
       "line 1: unknown action \"press\"; use click, slider, answer, escape, close, ok, tick, wait, await or dump"},
      {"dump\nclick", "line 2: \"click\" is written click ID"},
      {"click 10x", "line 1: control id \"10x\" is not a number from 0 to 65535"},
      {"click 70000", "line 1: control id \"70000\" is not a number from 0 to 65535"},
      {"slider 1059 4e", "line 1: slider position \"4e\" is not a 32-bit number"},
      {"answer maybe", "line 1: \"maybe\" is not an answer; use ok, cancel, abort, retry, ignore, yes or no"},
      {"tick 0", "line 1: tick count \"0\" is not a number from 1 to 1000000"},
      {"escape now", "line 1: \"escape\" is written escape"},
      {"wait 0", "line 1: wait time \"0\" is not a number of milliseconds from 1 to 3600000"},
      {"wait soon", "line 1: wait time \"soon\" is not a number of milliseconds from 1 to 3600000"},
      {"await Box 500", "line 1: \"await\" is written await \"CAPTION\" MILLISECONDS"},
      {"await \"Box\"", "line 1: \"await\" is written await \"CAPTION\" MILLISECONDS"},
      {"await \"Box 500", "line 1: \"await\" is written await \"CAPTION\" MILLISECONDS"},
      {"await \"Box\" 1h", "line 1: await time \"1h\" is not a number of milliseconds from 1 to 3600000"},
  };
  for (const Case &c : cases) {
    std::vector<headless::Action> actions{headless::Dump()};
    std::string error;
    EXPECT_FALSE(headless::ParseScript(c.script, &actions, &error)) << c.script;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(actions.size(), 1u) << "a refused script left the caller's actions changed";
  }
}

using Clock = std::chrono::steady_clock;

// Runs `later` on a thread of its own `delay` after the call, and joins it on destruction.
class Later {
 public:
  Later(std::chrono::milliseconds delay, std::function<void()> later)
      : thread_([delay, later = std::move(later)] {
          std::this_thread::sleep_for(delay);
          later();
        }) {}
  ~Later() { thread_.join(); }

 private:
  std::thread thread_;
};

// A wait lets real time pass while the dialog handles what arrives: a message posted by another
// thread, and its timer, which keeps its period on the real clock.
TEST(DialogScriptPauses, WaitLetsRealTimePassWhileTheDialogHandlesItsMessages) {
  std::unique_ptr<Later> poster;
  const Clock::time_point started = Clock::now();
  Outcome run = Play(Buttons(), {headless::Click(1016), headless::Wait(300), headless::Ok()}, nullptr,
                     [&](HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
                       if (message != WM_COMMAND || LOWORD(wParam) != 1016) return;
                       SetTimer(hwnd, 7, 50, nullptr);
                       poster = std::make_unique<Later>(std::chrono::milliseconds(20),
                                                        [hwnd] { PostMessageW(hwnd, WM_COMMAND, 42, 0); });
                     });
  poster.reset();
  const auto took = Clock::now() - started;
  EXPECT_GE(took, std::chrono::milliseconds(300)) << "the wait did not last its time";
  EXPECT_EQ(run.result, IDOK) << run.error;
  ASSERT_GE(run.heard.size(), 4u);
  EXPECT_EQ(run.heard.back(), "command 1 code 0");
  EXPECT_NE(std::find(run.heard.begin(), run.heard.end(), "command 42 code 0"), run.heard.end())
      << "the message posted during the wait was not handled before the next action";
  long ticks = std::count(run.heard.begin(), run.heard.end(), "timer 7");
  EXPECT_GE(ticks, 1) << "the timer did not fire during the wait";
  // A loaded machine may make the wait longer than asked, never the timer quicker than its period.
  const long allowed = std::chrono::duration_cast<std::chrono::milliseconds>(took).count() / 50 + 1;
  EXPECT_LE(ticks, allowed) << "a 50 ms timer fired more often than the time that passed allows";
}

TEST(DialogScriptPauses, AwaitEndsWhenTheWindowOrTheBoxOpens) {
  // A window that another thread opens a little later.
  {
    std::promise<void> close;
    std::shared_future<void> closing = close.get_future().share();
    std::unique_ptr<std::thread> opener;
    Outcome run = Play(Buttons(), {headless::Click(1016), headless::Await(u"Late", 10000), headless::Ok()}, nullptr,
                       [&](HWND, UINT message, WPARAM wParam, LPARAM) {
                         if (message != WM_COMMAND || LOWORD(wParam) != 1016) return;
                         opener = std::make_unique<std::thread>([closing] {
                           std::this_thread::sleep_for(std::chrono::milliseconds(50));
                           HWND late = CreateWindowExW(0, u"BUTTON", u"Late", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10,
                                                       nullptr, nullptr, nullptr, nullptr);
                           closing.wait();
                           DestroyWindow(late);
                         });
                       });
    close.set_value();
    opener->join();
    EXPECT_EQ(run.result, IDOK) << run.error;
  }
  // A message box that the dialog opens on a message posted a little later; a box also ends a wait.
  for (headless::Action pause : {headless::Await(u"Box", 10000), headless::Wait(10000)}) {
    std::unique_ptr<Later> poster;
    const Clock::time_point started = Clock::now();
    int answer = 0;
    Outcome run = Play(Buttons(), {headless::Click(1016), pause, headless::Answer(IDCANCEL), headless::Ok()}, nullptr,
                       [&](HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
                         if (message != WM_COMMAND) return;
                         if (LOWORD(wParam) == 1016)
                           poster = std::make_unique<Later>(std::chrono::milliseconds(50),
                                                            [hwnd] { PostMessageW(hwnd, WM_COMMAND, 43, 0); });
                         if (LOWORD(wParam) == 43) answer = MessageBoxW(hwnd, u"Go?", u"Box", MB_OKCANCEL);
                       });
    poster.reset();
    EXPECT_EQ(run.result, IDOK) << headless::Describe(pause) << ": " << run.error;
    EXPECT_EQ(answer, IDCANCEL) << headless::Describe(pause);
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(9000)) << headless::Describe(pause) << " outlasted the box";
  }
}

TEST(DialogScriptPauses, AwaitThatIsNotMetFailsTheRun) {
  Outcome run = Play(Buttons(), {headless::Await(u"Never", 100), headless::Ok()});
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(run.error,
            "action 1 (await \"Never\" 100): no message box or window \"Never\" opened in time; give it longer, or "
            "check what the run shows instead");

  // A box of another caption opening while the script awaits is one the script did not expect.
  std::unique_ptr<Later> poster;
  int answer = -1;
  run = Play(Buttons(), {headless::Click(1016), headless::Await(u"Calibration", 10000), headless::Answer(IDOK)},
             nullptr, [&](HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
               if (message != WM_COMMAND) return;
               if (LOWORD(wParam) == 1016)
                 poster = std::make_unique<Later>(std::chrono::milliseconds(50),
                                                  [hwnd] { PostMessageW(hwnd, WM_COMMAND, 43, 0); });
               if (LOWORD(wParam) == 43) answer = MessageBoxW(hwnd, u"Go?", u"Box", MB_OKCANCEL);
             });
  poster.reset();
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(run.error,
            "action 2 (await \"Calibration\" 10000): message box \"Box\" opened while the script awaits "
            "\"Calibration\"; answer it first");
}

TEST(DialogScriptPauses, CallRunsOnTheDialogsThreadBetweenActions) {
  std::vector<std::string> order;
  const std::thread::id self = std::this_thread::get_id();
  Outcome run = Play(Buttons(),
                     {headless::Click(1016), headless::Call([&] {
                        EXPECT_EQ(std::this_thread::get_id(), self);
                        order.push_back("call");
                      }),
                      headless::Ok()},
                     nullptr, [&](HWND, UINT message, WPARAM wParam, LPARAM) {
                       if (message == WM_COMMAND) order.push_back("command " + std::to_string(LOWORD(wParam)));
                     });
  EXPECT_EQ(run.result, IDOK) << run.error;
  EXPECT_EQ(order, (std::vector<std::string>{"command 1016", "call", "command 1"}));
}

TEST(DialogItems, ItemTextAndIconsGoThroughTheDialog) {
  Outcome run = Play(Buttons(), {headless::Ok()}, nullptr, [](HWND hwnd, UINT message, WPARAM, LPARAM) {
    if (message != WM_INITDIALOG) return;
    EXPECT_TRUE(SetDlgItemTextW(hwnd, 1016, u"Leave"));
    WCHAR text[4] = {u'x', u'x', u'x', u'x'};
    EXPECT_EQ(GetDlgItemTextW(hwnd, 1016, text, 4), 3u) << "the text is cut to the buffer";
    EXPECT_EQ(std::u16string(text), u"Lea");
    EXPECT_EQ(GetDlgItemTextW(hwnd, 999, text, 4), 0u);
    EXPECT_EQ(text[0], 0);
    EXPECT_EQ(GetDlgItem(hwnd, 999), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CONTROL_ID_NOT_FOUND));
    EXPECT_EQ(GetDlgCtrlID(GetDlgItem(hwnd, 1016)), 1016);
    EXPECT_EQ(GetDlgCtrlID(hwnd), 0);
    HICON big = reinterpret_cast<HICON>(0x128), small = reinterpret_cast<HICON>(0x129);
    SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    EXPECT_EQ(SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small)), 0);
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(hwnd, WM_GETICON, ICON_BIG, 0)), big);
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(hwnd, WM_GETICON, ICON_SMALL, 0)), small);
  });
  EXPECT_EQ(run.result, IDOK) << run.error;
}

// A template in memory, as a program builds one: the header, no menu, the default class, the
// caption, the font; one filled static created at WM_INITDIALOG shows in the dump.
TEST(DialogItems, AnInMemoryTemplateRunsAsADialog) {
  std::vector<WORD> words(sizeof(DLGTEMPLATE) / sizeof(WORD), 0);
  auto *header = reinterpret_cast<DLGTEMPLATE *>(words.data());
  header->style = WS_POPUP | DS_SETFONT;
  header->cx = 40, header->cy = 20;
  words.insert(words.end(), {0, 0, u'M', u'e', u'm', 0, 12, u'S', 0});
  struct Probe {
    static INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
      if (message == WM_INITDIALOG) {
        EXPECT_EQ(lParam, 42);
        CreateWindowExW(0, u"STATIC", u"", WS_CHILD | WS_VISIBLE | SS_BLACKRECT, 5, 6, 20, 3, dialog,
                        reinterpret_cast<HMENU>(7), nullptr, nullptr);
        return TRUE;
      }
      if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) return EndDialog(dialog, 5);
      return FALSE;
    }
  };
  headless::Session session({headless::Dump(), headless::Escape()});
  EXPECT_EQ(DialogBoxIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(words.data()), nullptr, Probe::Procedure,
                                    42),
            5)
      << session.Error();
  EXPECT_NE(session.Transcript().find("#32770 id=0 \"Mem\" (0,0)-(80,40)"), std::string::npos) << session.Transcript();
  EXPECT_NE(session.Transcript().find("STATIC id=7 \"\" (5,6)-(25,9) visible enabled fill=black"), std::string::npos)
      << session.Transcript();
  EXPECT_EQ(DialogBoxIndirectParamW(nullptr, nullptr, nullptr, Probe::Procedure, 0), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(DialogItems, UnsupportedControlClassFailsTheDialog) {
  DialogTemplate dialog = Dialog(u"Edit", 100, 60, {Item(0x0081, 1000, u"", 0, 4, 4, 40, 12)});
  Outcome run = Play(dialog, {headless::Ok()});
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
  EXPECT_TRUE(run.heard.empty());
}

TEST(WindowState, MoveShowAndTopmostAreKept) {
  HWND owner = MakeOwner();
  ASSERT_NE(owner, nullptr);
  HWND child = CreateWindowExW(0, u"BUTTON", u"B", WS_CHILD | WS_VISIBLE, 5, 6, 20, 10, owner,
                               reinterpret_cast<HMENU>(3), nullptr, nullptr);
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(MoveWindow(owner, 100, 50, 300, 200, FALSE));
  RECT rect;
  ASSERT_TRUE(GetWindowRect(child, &rect));
  EXPECT_EQ(rect.left, 105);
  EXPECT_EQ(rect.top, 56);
  EXPECT_EQ(rect.right, 125);
  EXPECT_EQ(rect.bottom, 66);
  SetWindowPos(owner, HWND_TOPMOST, 1, 2, 3, 4, SWP_NOMOVE | SWP_NOSIZE);
  ASSERT_TRUE(GetWindowRect(owner, &rect));
  EXPECT_EQ(rect.left, 100) << "SWP_NOMOVE moved the window";
  EXPECT_EQ(rect.right, 400) << "SWP_NOSIZE resized the window";
  SetWindowPos(owner, nullptr, 10, 20, 30, 40, SWP_NOZORDER);
  ASSERT_TRUE(GetWindowRect(owner, &rect));
  EXPECT_EQ(rect.left, 10);
  EXPECT_EQ(rect.bottom, 60);
  EXPECT_NE(headless::DumpWindows().find("Owner\" (10,20)-(40,60) visible enabled topmost"), std::string::npos)
      << headless::DumpWindows();

  EXPECT_TRUE(IsWindowVisible(child));
  EXPECT_TRUE(ShowWindow(owner, SW_HIDE)) << "the window was visible before";
  EXPECT_FALSE(IsWindowVisible(child)) << "a child of a hidden window counts as visible";
  EXPECT_FALSE(ShowWindow(owner, SW_SHOW));
  EXPECT_TRUE(IsWindowVisible(child));
  DestroyWindow(owner);
  EXPECT_FALSE(GetWindowRect(child, &rect));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST(WindowState, AnotherThreadReadsStateWhileTheDialogThreadChangesIt) {
  std::promise<HWND> opened;
  std::promise<void> read;
  std::thread reader([&] {
    HWND dialog = opened.get_future().get();
    for (int i = 0; i < 200; ++i) {
      RECT rect;
      EXPECT_TRUE(GetWindowRect(dialog, &rect));
      IsWindowVisible(dialog);
      IsWindowEnabled(dialog);
      FindWindowW(nullptr, u"Buttons");
    }
    read.set_value();
  });
  std::future<void> done = read.get_future();
  Outcome run = Play(Buttons(), {headless::Click(1016), headless::Ok()}, nullptr,
                     [&](HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
                       if (message != WM_COMMAND || LOWORD(wParam) != 1016) return;
                       opened.set_value(hwnd);
                       for (int i = 0; i < 200; ++i) {
                         MoveWindow(hwnd, i, i, 200, 120, FALSE);
                         ShowWindow(hwnd, i % 2 == 0 ? SW_HIDE : SW_SHOW);
                         SetWindowTextW(hwnd, i % 2 == 0 ? u"Buttons" : u"Other");
                       }
                       EXPECT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
                     });
  reader.join();
  EXPECT_EQ(run.result, IDOK) << run.error;
}

TEST(WindowState, MulDivRoundsAndReportsOverflow) {
  struct Case {
    int number, numerator, denominator, result;
  };
  const Case cases[] = {{269, 8, 4, 538},
                        {7, 13, 8, 11},
                        {5, 3, 2, 8},
                        {-5, 3, 2, -8},
                        {1, 1, 0, -1},
                        {0x7FFFFFFF, 2, 1, -1},
                        {0x7FFFFFFF, 4, 4, 0x7FFFFFFF}};
  for (const Case &c : cases)
    EXPECT_EQ(MulDiv(c.number, c.numerator, c.denominator), c.result)
        << c.number << " * " << c.numerator << " / " << c.denominator;
}

// --- Touches through the "windows" pointer output, within this process ---------------------------

class DialogPointer : public ::testing::Test {
 protected:
  void SetUp() override {
    root.WriteHive("[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Pointer\"=\"windows\"\n");
    platform::ResetPointerOutput();
  }
  void TearDown() override { platform::ResetPointerOutput(); }

  // mouse_event at a pixel of the 800 x 480 screen, from the dialog's thread between actions.
  static headless::Action At(DWORD flags, int x, int y) {
    return headless::Call([=] {
      mouse_event(flags | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, static_cast<DWORD>(x * 65535 / 799 + 1),
                  static_cast<DWORD>(y * 65535 / 479 + 1), 0, 0);
    });
  }
  static std::vector<headless::Action> Tap(int x, int y) {
    return {At(MOUSEEVENTF_LEFTDOWN, x, y), At(MOUSEEVENTF_LEFTUP, x, y)};
  }

  testing_support::TempDeviceRoot root;
};

// The Buttons dialog stands at (0, 0) with its 26-pixel caption above its client area: OK at
// (8,106)-(88,134), Quit (1016) at (100,106)-(180,134), the disabled "Off" (1017) at (8,34)-(88,62).
TEST_F(DialogPointer, APressAndReleaseOnAButtonClicksIt) {
  struct Case {
    const char *name;
    std::vector<headless::Action> touch;
    std::vector<std::string> heard;
  };
  const Case cases[] = {
      {"a tap on Quit", Tap(140, 120), {"init", "command 1016 code 0", "command 1 code 0"}},
      {"a touch that slides off before it lifts",
       {At(MOUSEEVENTF_LEFTDOWN, 140, 120), At(0, 150, 86), At(MOUSEEVENTF_LEFTUP, 150, 86)},
       {"init", "command 1 code 0"}},
      {"a touch that lands beside and slides onto it",
       {At(MOUSEEVENTF_LEFTDOWN, 95, 86), At(0, 140, 120), At(MOUSEEVENTF_LEFTUP, 140, 120)},
       {"init", "command 1 code 0"}},
      {"a tap on the disabled button", Tap(40, 46), {"init", "command 1 code 0"}},
      {"a tap beside the dialog", Tap(400, 300), {"init", "command 1 code 0"}},
      {"the right button", {At(MOUSEEVENTF_RIGHTDOWN, 140, 120), At(MOUSEEVENTF_RIGHTUP, 140, 120)},
       {"init", "command 1 code 0"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<headless::Action> actions = c.touch;
    actions.push_back(headless::Wait(50));  // the touch's messages are handled while time passes
    actions.push_back(headless::Ok());
    Outcome run = Play(Buttons(), actions);
    EXPECT_EQ(run.result, IDOK) << run.error;
    EXPECT_EQ(run.heard, c.heard);
  }
}

// A trackbar follows the touch and is clicked where it lifts; a radio button checks itself.
// A button shows pushed while the press that went down on it stays over it: not once it slides
// off, again when it comes back, and no more once it lifts, with the click. The look a display
// paints is this state.
TEST_F(DialogPointer, AButtonShowsPushedOnlyWhileThePressStaysOverIt) {
  HWND dialog = nullptr;
  std::vector<bool> pushed;
  auto look = headless::Call([&] {
    pushed.push_back((SendDlgItemMessageW(dialog, 1016, BM_GETSTATE, 0, 0) & BST_PUSHED) != 0);
  });
  Outcome run = Play(Buttons(),
                     {At(MOUSEEVENTF_LEFTDOWN, 140, 120), headless::Wait(50), look, At(0, 150, 86), headless::Wait(50),
                      look, At(0, 140, 120), headless::Wait(50), look, At(MOUSEEVENTF_LEFTUP, 140, 120),
                      headless::Wait(50), look, headless::Ok()},
                     nullptr, [&](HWND hwnd, UINT message, WPARAM, LPARAM) {
                       if (message == WM_INITDIALOG) dialog = hwnd;
                     });
  EXPECT_EQ(run.result, IDOK) << run.error;
  EXPECT_EQ(pushed, (std::vector<bool>{true, false, true, false}));
  EXPECT_EQ(run.heard, (std::vector<std::string>{"init", "command 1016 code 0", "command 1 code 0"}));
}

TEST_F(DialogPointer, TrackbarsAndRadioButtonsTakeTheTouch) {
  // In the client area, 26 pixels below the dialog's top, the trackbar spans (20,20)-(220,44)
  // with the range 0..100; the radio (20,60)-(100,80).
  DialogTemplate dialog = Dialog(u"Pointer", 150, 60,
                                 {Trackbar(1059, 10, 10, 100, 12),
                                  Item(kButton, 1051, u"Radio", BS_AUTORADIOBUTTON | WS_GROUP, 10, 30, 40, 10)});
  std::vector<headless::Action> actions{At(MOUSEEVENTF_LEFTDOWN, 30, 56), At(0, 120, 56),
                                        At(MOUSEEVENTF_LEFTUP, 219, 56)};
  for (const headless::Action &tap : Tap(50, 96)) actions.push_back(tap);
  actions.insert(actions.end(), {headless::Wait(50), headless::Dump(), headless::Ok()});
  Outcome run = Play(dialog, actions);
  EXPECT_EQ(run.result, IDOK) << run.error;
  EXPECT_EQ(run.heard, (std::vector<std::string>{"init", "notify 1059 code -2 pos 100", "command 1051 code 0",
                                                 "command 1 code 0"}));
  EXPECT_NE(run.transcript.find("BUTTON id=1051 \"Radio\" (20,60)-(100,80) visible enabled checked"), std::string::npos)
      << run.transcript;
}

// A window that closes while the touch is down takes the rest of that touch with it: the window
// that is there when it lifts sees neither a press nor a release.
TEST_F(DialogPointer, AWindowClosedUnderTheTouchTakesTheRestOfIt) {
  Outcome first = Play(Buttons(), {At(MOUSEEVENTF_LEFTDOWN, 140, 120), headless::Wait(50), headless::Ok()});
  EXPECT_EQ(first.result, IDOK) << first.error;
  Outcome second = Play(Buttons(), {At(MOUSEEVENTF_LEFTUP, 140, 120), headless::Wait(50), headless::Ok()});
  EXPECT_EQ(second.result, IDOK) << second.error;
  EXPECT_EQ(second.heard, (std::vector<std::string>{"init", "command 1 code 0"}));
  // The next touch is whole again.
  std::vector<headless::Action> actions = Tap(140, 120);
  actions.insert(actions.end(), {headless::Wait(50), headless::Ok()});
  Outcome third = Play(Buttons(), actions);
  EXPECT_EQ(third.heard, (std::vector<std::string>{"init", "command 1016 code 0", "command 1 code 0"}));
}

// A press on the owner of a modal dialog is dropped, with the rest of its touch; the same touch
// on the owner alone reaches it.
std::vector<UINT> ownerHeard;
LRESULT CALLBACK HearingOwner(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message >= WM_MOUSEMOVE && message <= WM_RBUTTONUP) ownerHeard.push_back(message);
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

TEST_F(DialogPointer, APressOnADisabledOwnerIsDropped) {
  WNDCLASSW hearing{};
  hearing.lpfnWndProc = HearingOwner;
  hearing.lpszClassName = u"HearingOwner";
  static const ATOM registered = RegisterClassW(&hearing);
  ASSERT_NE(registered, 0);
  HWND owner = CreateWindowExW(0, u"HearingOwner", u"Owner", WS_OVERLAPPED | WS_VISIBLE, 0, 0, 320, 240, nullptr,
                               nullptr, nullptr, nullptr);
  ASSERT_NE(owner, nullptr);
  // The dialog opens centred on its owner, at (60, 47)-(260, 193): the owner shows at (250, 200).
  DialogTemplate dialog = Buttons();
  std::vector<headless::Action> actions = Tap(250, 200);
  actions.insert(actions.end(), {headless::Wait(50), headless::Ok()});
  ownerHeard.clear();
  Outcome run = Play(dialog, actions, owner);
  EXPECT_EQ(run.result, IDOK) << run.error;
  EXPECT_TRUE(ownerHeard.empty()) << "the disabled owner heard " << ownerHeard.size() << " messages";
  // Enabled again, the owner takes the same tap.
  std::vector<headless::Action> again = Tap(250, 200);
  again.insert(again.end(), {headless::Wait(50), headless::Ok()});
  Play(Buttons(), again);
  EXPECT_EQ(ownerHeard, (std::vector<UINT>{WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP}));
  DestroyWindow(owner);
}

// A press released on the box of the caption it began on is that box's click: the OK box is
// IDOK, the close box WM_CLOSE (IDCANCEL to a dialog). Anything else on the caption does nothing,
// so the script's own Quit and OK end the dialog.
TEST_F(DialogPointer, APressAndReleaseOnACaptionBoxClicksIt) {
  // The 200-pixel-wide dialog at (0, 0): caption (0,0)-(200,26), OK box (148,0)-(174,26), close
  // box (174,0)-(200,26).
  DialogTemplate dialog = Buttons();
  dialog.exStyle = WS_EX_CAPTIONOKBTN;
  struct Case {
    const char *name;
    std::vector<headless::Action> touch;
    INT_PTR result;
    std::vector<std::string> heard;
  };
  const std::vector<std::string> untouched{"init", "command 1016 code 0", "command 1 code 0"};
  const Case cases[] = {
      {"a tap on the OK box", Tap(160, 12), IDOK, {"init", "command 1 code 0"}},
      {"a tap on the close box", Tap(187, 12), IDCANCEL, {"init", "command 2 code 0"}},
      {"a press on the OK box lifted on the close box",
       {At(MOUSEEVENTF_LEFTDOWN, 160, 12), At(0, 187, 12), At(MOUSEEVENTF_LEFTUP, 187, 12)}, IDOK, untouched},
      {"a press on the close box lifted in the client area",
       {At(MOUSEEVENTF_LEFTDOWN, 187, 12), At(0, 140, 120), At(MOUSEEVENTF_LEFTUP, 140, 120)}, IDOK, untouched},
      {"a tap on the caption's text", Tap(40, 12), IDOK, untouched},
      {"the right button on the close box", {At(MOUSEEVENTF_RIGHTDOWN, 187, 12), At(MOUSEEVENTF_RIGHTUP, 187, 12)},
       IDOK, untouched},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<headless::Action> actions = c.touch;
    actions.insert(actions.end(), {headless::Wait(50), headless::Click(1016), headless::Ok()});
    Outcome run = Play(dialog, actions);
    EXPECT_EQ(run.result, c.result) << run.error;
    EXPECT_EQ(run.heard, c.heard);
  }
}

// A dialog with an owner opens centred on it, moved as needed to lie wholly on the 800 x 480
// screen; one larger than the screen keeps its top-left corner on it.
TEST(DialogPlacement, AnOwnedDialogOpensCentredOnItsOwnerAndOnTheScreen) {
  struct Case {
    const char *name;
    RECT owner;
    short cx, cy;  // the dialog's client area in dialog units (two pixels each)
    RECT window;
  };
  const Case cases[] = {
      {"centred", {100, 100, 500, 400}, 100, 60, {200, 177, 400, 323}},
      {"pushed in from the right and bottom", {600, 350, 800, 480}, 100, 60, {600, 334, 800, 480}},
      {"pushed in from the left and top", {-50, -40, 50, 40}, 100, 60, {0, 0, 200, 146}},
      {"larger than the screen", {0, 0, 800, 480}, 500, 300, {0, 0, 1000, 626}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    HWND owner = MakeOwner();
    ASSERT_NE(owner, nullptr);
    MoveWindow(owner, c.owner.left, c.owner.top, c.owner.right - c.owner.left, c.owner.bottom - c.owner.top, FALSE);
    RECT placed{};
    Outcome run = Play(Dialog(u"Placed", c.cx, c.cy, {}), {headless::Ok()}, owner,
                       [&](HWND hwnd, UINT message, WPARAM, LPARAM) {
                         if (message == WM_INITDIALOG) GetWindowRect(hwnd, &placed);
                       });
    EXPECT_EQ(run.result, IDOK) << run.error;
    EXPECT_EQ(placed.left, c.window.left);
    EXPECT_EQ(placed.top, c.window.top);
    EXPECT_EQ(placed.right, c.window.right);
    EXPECT_EQ(placed.bottom, c.window.bottom);
    DestroyWindow(owner);
  }
}

}  // namespace
