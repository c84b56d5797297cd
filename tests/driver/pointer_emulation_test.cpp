// Pointer emulation as a state machine: sequences of reports in, the recorded mouse events,
// sounds and tray notices out, for each touch mode and option.
#include "pointer_emulation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver_state.h"
#include "platform/pointer_output.h"
#include "pointer_state.h"

namespace {

struct Report {
  bool touching;
  DWORD x, y;
  DWORD tick = 0;  // when it came, in ms
};

constexpr bool T = true;
constexpr bool N = false;

// Records what the handlers produce, in order: "beep", "tray", and "8003@x,y" for a mouse event.
// The tray notice is a message in the queue of a TOUCHTRAY window of this thread, looked for just
// before each mouse event is recorded, so its place in the order shows.
class PointerEmulation : public ::testing::Test {
 protected:
  void SetUp() override {
    pointerState = PointerState{};
    DriverSettings settings{};
    settings.XInplace = settings.YInplace = 5000;
    settings.SelDelay = 3;
    driverState.settings.Assign(settings);
    static bool registered = false;
    if (!registered) {
      WNDCLASSW windowClass{};
      windowClass.lpfnWndProc = DefWindowProcW;
      windowClass.lpszClassName = TEXT("TOUCHTRAY");
      registered = RegisterClassW(&windowClass) != 0;
    }
    tray_ = CreateWindowExW(0, TEXT("TOUCHTRAY"), TEXT("TOUCHTRAY"), 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(tray_, nullptr);
    platform::SetPointerSink([this](const platform::PointerEvent &event) { Record(event); });
  }

  void TearDown() override {
    platform::SetPointerSink(nullptr);
    DestroyWindow(tray_);
    driverState.settings.Assign(DriverSettings{});
    pointerState = PointerState{};
    ConfigureLongPress(0);
  }

  void Set(DWORD mouseMod, DWORD touSound = 0) {
    driverState.settings.MouseMod = mouseMod;
    driverState.settings.TouSound = touSound;
  }

  std::vector<std::string> Run(const std::vector<Report> &reports) {
    events_.clear();
    for (const Report &report : reports) EmulatePointer(TouchReport{report.touching, report.x, report.y}, report.tick);
    return events_;
  }

  // Only the button transitions, without positions: "8003", "8005", ...
  std::vector<std::string> Transitions(const std::vector<Report> &reports) {
    std::vector<std::string> transitions;
    for (const std::string &event : Run(reports))
      if (event.rfind("8001", 0) != 0) transitions.push_back(event.substr(0, event.find('@')));
    return transitions;
  }

  static std::vector<Report> Still(DWORD x, DWORD y, int touching) {
    std::vector<Report> reports(static_cast<size_t>(touching), Report{T, x, y});
    reports.push_back({N, x, y});
    return reports;
  }

 private:
  void Record(const platform::PointerEvent &event) {
    if (event.kind == platform::PointerEvent::Kind::Beep) {
      events_.push_back("beep");
      return;
    }
    MSG message;
    while (PeekMessageW(&message, tray_, 0, 0, PM_REMOVE))
      if (message.message == WM_RBUTTONDOWN && message.wParam == 0 && message.lParam == 0) events_.push_back("tray");
    char text[64];
    std::snprintf(text, sizeof text, "%04x@%u,%u", event.flags, event.dx, event.dy);
    events_.push_back(text);
  }

  HWND tray_ = nullptr;
  std::vector<std::string> events_;
};

using Events = std::vector<std::string>;

TEST_F(PointerEmulation, DesktopPressesAndReleasesWithTheTouchAndSoundsBeforeEachEvent) {
  Set(0, 2);
  EXPECT_EQ(Run({{T, 100, 200}, {T, 150, 250}, {N, 160, 260}}),
            (Events{"beep", "8003@100,200", "8001@150,250", "beep", "8005@160,260"}));
}

TEST_F(PointerEmulation, TouchSoundSettings) {
  Set(0, 1);
  EXPECT_EQ(Transitions(Still(1, 1, 2)), (Events{"beep", "8003", "8005"}));
  for (DWORD silent : {0u, 3u, 0x102u}) {
    Set(0, silent);
    EXPECT_EQ(Transitions(Still(1, 1, 2)), (Events{"8003", "8005"})) << silent;
  }
}

TEST_F(PointerEmulation, DesktopRightClickUsesTheRightButtonNotifiesTheTrayAndLastsOneTouch) {
  Set(0x80000000u, 2);
  EXPECT_EQ(Run({{T, 10, 20}, {T, 10, 20}, {N, 11, 21}}), (Events{"8009@10,20", "8001@10,20", "tray", "8011@11,21"}));
  EXPECT_EQ(driverState.settings.MouseMod, 0u);
  EXPECT_EQ(Transitions(Still(5, 5, 1)), (Events{"beep", "8003", "beep", "8005"}));
}

TEST_F(PointerEmulation, AnyLiftedReportClearsThePendingRightClick) {
  Set(0x80000002u);  // Button mode, the bit set while nothing is touched
  Run({{N, 1, 1}});
  EXPECT_EQ(driverState.settings.MouseMod, 2u) << "only bit 31 is cleared";
  Set(0x80000000u);
  Run({{N, 1, 1}});
  EXPECT_EQ(driverState.settings.MouseMod, 0u);
}

TEST_F(PointerEmulation, DrawingRightClickHasNoTrayNotice) {
  Set(0x80000001u, 2);
  driverState.settings.SelDelay = 0;
  EXPECT_EQ(Transitions(Still(500, 500, 3)), (Events{"8009", "8011"}));
}

TEST_F(PointerEmulation, DrawingCountsTheHoldFromStepToStep) {
  Set(1);
  Run({{N, 10000, 30000}});
  // Every step of 4000 is within the tolerance, though the touch moves 8000 in all.
  EXPECT_EQ(Run({{T, 10000, 30000}, {T, 14000, 30000}, {T, 18000, 30000}}),
            (Events{"8001@10000,30000", "8001@14000,30000", "8003@18000,30000"}));
  Run({{N, 10000, 30000}});
  // The step of 6000 is not: the hold starts again.
  EXPECT_EQ(Transitions({{T, 10000, 30000}, {T, 14000, 30000}, {T, 20000, 30000}}), Events{});
}

TEST_F(PointerEmulation, ADifferenceEqualToTheToleranceIsNotInPlace) {
  Set(1);
  driverState.settings.SelDelay = 1;
  Run({{N, 0, 0}});
  EXPECT_EQ(Transitions({{T, 5000, 0}, {T, 10000, 0}, {T, 15000, 5000}}), Events{});
  EXPECT_EQ(Transitions({{T, 15000, 9999}}), (Events{"8003"}));
}

TEST_F(PointerEmulation, DrawingKeepsTheButtonDownThroughJumpsUntilTheTouchEnds) {
  Set(1);
  auto events = Transitions({{T, 100, 100}, {T, 100, 100}, {T, 100, 100}, {T, 100, 100}, {T, 60000, 60000},
                             {T, 0, 30000}, {N, 0, 30000}});
  EXPECT_EQ(events, (Events{"8003", "8005"}));
}

TEST_F(PointerEmulation, DrawingPressComesOneReportLaterWhenTheTouchBeganElsewhere) {
  Set(1);
  Run({{N, 100, 100}});
  EXPECT_EQ(Run({{T, 100, 100}, {T, 100, 100}, {T, 100, 100}}).back(), "8003@100,100");
  Run({{N, 50000, 50000}});
  auto events = Run({{T, 100, 100}, {T, 100, 100}, {T, 100, 100}, {T, 100, 100}});
  EXPECT_EQ(events[2], "8001@100,100");
  EXPECT_EQ(events[3], "8003@100,100");
}

TEST_F(PointerEmulation, ButtonClicksOncePerTouch) {
  Set(2);
  driverState.settings.SelDelay = 2;
  Run({{N, 7, 7}});
  EXPECT_EQ(Run({{T, 7, 7}, {T, 7, 7}, {T, 7, 7}, {T, 7, 7}, {T, 7, 7}, {N, 7, 7}}),
            (Events{"8001@7,7", "8003@7,7", "8005@7,7", "8001@7,7", "8001@7,7", "8001@7,7"}));
}

TEST_F(PointerEmulation, ZeroThresholdPressesAtOnceInDrawingAndNeverInButton) {
  driverState.settings.SelDelay = 0;
  Set(1);
  EXPECT_EQ(Run({{T, 3, 3}}).front(), "8003@3,3");
  Run({{N, 3, 3}});
  Set(2);
  EXPECT_EQ(Transitions(Still(3, 3, 6)), Events{});
}

TEST_F(PointerEmulation, NoToleranceMeansNoHold) {
  Set(1);
  driverState.settings.XInplace = 0;
  EXPECT_EQ(Transitions(Still(3, 3, 10)), Events{});
}

TEST_F(PointerEmulation, ModeThreeSendsNothingAndChangesNothing) {
  Set(3, 2);
  pointerState.holdCount = 5;
  EXPECT_EQ(Run({{T, 1, 1}, {T, 1, 1}, {N, 1, 1}}), Events{});
  EXPECT_EQ(pointerState.holdCount, 5u);
  EXPECT_FALSE(pointerState.lastTouch);
}

TEST_F(PointerEmulation, AVeryLongHoldNeitherReleasesNorClicksAgain) {
  Set(1);
  Run({{T, 9, 9}, {T, 9, 9}, {T, 9, 9}});
  ASSERT_TRUE(pointerState.drawingPressed);
  pointerState.holdCount = MAXDWORD - 1;
  EXPECT_EQ(Transitions({{T, 9, 9}, {T, 9, 9}, {T, 9, 9}}), Events{});
  EXPECT_EQ(pointerState.holdCount, MAXDWORD);
  EXPECT_EQ(Transitions({{N, 9, 9}}), (Events{"8005"}));

  Set(2);
  Run({{T, 9, 9}, {T, 9, 9}, {T, 9, 9}, {T, 9, 9}, {T, 9, 9}});
  pointerState.holdCount = MAXDWORD - 2;
  // Wrapping, the count would come round to the threshold again after six more reports.
  EXPECT_EQ(Transitions({{T, 9, 9}, {T, 9, 9}, {T, 9, 9}, {T, 9, 9}, {T, 9, 9}, {T, 9, 9}}), Events{});
}

// A long press of 500 ms: a Desktop touch's left press waits until the finger leaves the in-place
// box (5000) or lifts, and a finger held in place for 500 ms gives a right click instead. An armed
// right click and the other modes are as without it.
TEST_F(PointerEmulation, ALongPressGivesARightClickAndOtherwiseDelaysOnlyTheLeftPress) {
  struct Case {
    const char *what;
    DWORD mouseMod;
    std::vector<Report> reports;
    Events events;
  };
  const Case cases[] = {
      {"a quick tap", 0, {{T, 100, 200, 0}, {N, 100, 200, 40}}, {"8001@100,200", "beep", "8003@100,200", "beep", "8005@100,200"}},
      {"a slow tap under 500 ms, the finger moving within the box",
       0,
       {{T, 100, 200, 0}, {T, 4000, 210, 300}, {N, 4000, 210, 499}},
       {"8001@100,200", "8001@4000,210", "beep", "8003@100,200", "beep", "8005@100,200"}},
      {"a hold past 500 ms, then a drag: a right click where it came down, then moves only",
       0,
       {{T, 100, 200, 0}, {T, 100, 200, 499}, {T, 100, 200, 500}, {T, 9000, 200, 600}, {N, 9000, 200, 700}},
       {"8001@100,200", "8001@100,200", "8009@100,200", "8011@100,200", "8001@9000,200", "8001@9000,200"}},
      {"a drag that leaves the box early: pressed where it came down, then as any drag",
       0,
       {{T, 100, 200, 0}, {T, 5100, 200, 100}, {T, 12000, 200, 800}, {N, 12000, 200, 900}},
       {"8001@100,200", "beep", "8003@100,200", "8001@5100,200", "8001@12000,200", "beep", "8005@12000,200"}},
      {"a right click armed before the touch: pressed at once, as without the long press",
       0x80000000u,
       {{T, 10, 20, 0}, {T, 10, 20, 600}, {N, 10, 20, 700}},
       {"8009@10,20", "8001@10,20", "tray", "8011@10,20"}},
      {"Drawing", 1, {{T, 7, 7, 0}, {T, 7, 7, 200}, {T, 7, 7, 400}, {T, 7, 7, 600}, {N, 7, 7, 700}},
       {"8001@7,7", "8001@7,7", "beep", "8003@7,7", "8001@7,7", "beep", "8005@7,7"}},
      {"Button", 2, {{T, 7, 7, 0}, {T, 7, 7, 200}, {T, 7, 7, 400}, {T, 7, 7, 600}, {N, 7, 7, 700}},
       {"8001@7,7", "8001@7,7", "beep", "8003@7,7", "beep", "8005@7,7", "8001@7,7"}},
  };
  ConfigureLongPress(500);
  for (const Case &c : cases) {
    Set(c.mouseMod, 2);
    EXPECT_EQ(Run(c.reports), c.events) << c.what;
  }
}

TEST_F(PointerEmulation, EveryReportGivesExactlyOneMouseEvent) {
  for (DWORD mode : {0u, 1u, 2u}) {
    Set(mode, 2);
    std::vector<Report> reports;
    for (int i = 0; i < 40; ++i) reports.push_back({i % 7 != 6, static_cast<DWORD>(i * 997 % 65536), 100});
    int mouseEvents = 0;
    for (const std::string &event : Run(reports)) mouseEvents += event != "beep" && event != "tray";
    EXPECT_EQ(mouseEvents, 40) << "mode " << mode;
  }
}

}  // namespace
