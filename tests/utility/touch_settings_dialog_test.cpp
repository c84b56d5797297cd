// The Touch Settings dialog's rules, headless, in this process: the dialog from the utility's own
// template, played by scripts, against a stand-in of the library's two panel-parameter calls that
// records every call. The measurement reads its counts from a stand-in device "NRV1:" in devmgr
// that hands out listed counts.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "calibkit.h"
#include "norvik_host.h"
#include "platform/faults.h"
#include "platform/headless.h"
#include "resource_file.h"
#include "report_rate_measurement.h"
#include "resource.h"
#include "touch_settings_dialog.h"

namespace headless = platform::headless;
using testing_support::ChildProcess;
using testing_support::Stream;

// The library, as the dialog sees it: one stored record, and every call in order.
struct FakeLibrary {
  tagParameter stored{};
  bool readable = true;
  std::vector<std::string> calls;
};
FakeLibrary library;

extern "C" int GetDevicePanelParameter(tagParameter *parameter) {
  library.calls.push_back("get");
  if (!library.readable) return 0;
  DWORD reserved = parameter->reserved;
  *parameter = library.stored;
  parameter->reserved = reserved;
  return 1;
}

extern "C" int SetDevicePanelParameter(tagParameter *parameter) {
  library.calls.push_back("set");
  library.stored = *parameter;
  return 1;
}

namespace {

constexpr std::chrono::milliseconds kBound{20000};

// The application object, whose instance handle names the utility's compiled resources.
CWinApp application;

tagParameter Installed() {
  tagParameter record{};
  record.BaudRate = 9600;
  record.XInplace = record.YInplace = 5000;
  record.SelDelay = record.CliDelay = 10;
  return record;
}

struct Outcome {
  INT_PTR result = 0;
  std::string transcript;
  std::string error;
};

class TouchSettings : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    application.m_hInstance = reinterpret_cast<HINSTANCE>(platform::LoadResourceFile(NORVIK_BIN_DIR "/calvex.res", &error));
    ASSERT_NE(application.m_hInstance, nullptr) << error;
  }

  void SetUp() override {
    library = FakeLibrary{};
    library.stored = Installed();
    for (DWORD &sample : g_rateSamples) sample = 0;
  }

  void TearDown() override { platform::ClearFaults(); }

  // Opens the dialog (or `dialog`) with the library's record as it stands and plays the actions.
  static Outcome Run(std::vector<headless::Action> actions, CTouchSettingsDlg *dialog = nullptr) {
    headless::Session session(std::move(actions));
    CTouchSettingsDlg own;
    Outcome outcome;
    outcome.result = (dialog != nullptr ? dialog : &own)->DoModal();
    outcome.transcript = session.Transcript();
    outcome.error = session.Error();
    return outcome;
  }

  // The line of the first dump that shows control `id`.
  static std::string Control(const std::string &transcript, int id) {
    size_t at = transcript.find(" id=" + std::to_string(id) + " ");
    if (at == std::string::npos) return "";
    size_t start = transcript.rfind('\n', at) + 1;
    return transcript.substr(start, transcript.find('\n', at) - start);
  }

  static bool Shows(const std::string &transcript, int id, const std::string &text) {
    return Control(transcript, id).find(text) != std::string::npos;
  }

  // The library's calls as one text: "get set get set".
  static std::string Calls() {
    std::string text;
    for (const std::string &call : library.calls) text += (text.empty() ? "" : " ") + call;
    return text;
  }
};

TEST_F(TouchSettings, ButtonsStepTheirSliderWithinItsRangeAndStoreBothWords) {
  struct Case {
    const char *name;
    DWORD clickTime;  // stored before the dialog opens
    LONG clickArea;
    int button;
    int slider;
    LONG expected;
  };
  const Case cases[] = {
      {"Slow from 95 stops at 100", 95, 5000, IDC_CLICK_TIME_SLOW, IDC_CLICK_TIME_SLIDER, 100},
      {"Slow at 100 stays and still stores", 100, 5000, IDC_CLICK_TIME_SLOW, IDC_CLICK_TIME_SLIDER, 100},
      {"Slow from 1 gives 11", 1, 5000, IDC_CLICK_TIME_SLOW, IDC_CLICK_TIME_SLIDER, 11},
      {"Fast from 100 gives 90", 100, 5000, IDC_CLICK_TIME_FAST, IDC_CLICK_TIME_SLIDER, 90},
      {"Fast from 5 gives 1", 5, 5000, IDC_CLICK_TIME_FAST, IDC_CLICK_TIME_SLIDER, 1},
      {"Fast from 10 gives 1", 10, 5000, IDC_CLICK_TIME_FAST, IDC_CLICK_TIME_SLIDER, 1},
      {"Small from 3000 gives 2500", 10, 3000, IDC_CLICK_AREA_SMALL, IDC_CLICK_AREA_SLIDER, 2500},
      {"Small at 2500 stays", 10, 2500, IDC_CLICK_AREA_SMALL, IDC_CLICK_AREA_SLIDER, 2500},
      {"Large from 5000 gives 7500", 10, 5000, IDC_CLICK_AREA_LARGE, IDC_CLICK_AREA_SLIDER, 7500},
      {"Large from 14000 stops at 15000", 10, 14000, IDC_CLICK_AREA_LARGE, IDC_CLICK_AREA_SLIDER, 15000},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    library.stored.SelDelay = library.stored.CliDelay = c.clickTime;
    library.stored.XInplace = library.stored.YInplace = c.clickArea;
    Outcome run = Run({headless::Click(c.button), headless::Dump(), headless::Click(IDOK)});
    ASSERT_EQ(run.result, IDOK) << run.error;
    EXPECT_TRUE(Shows(run.transcript, c.slider, "pos=" + std::to_string(c.expected))) << Control(run.transcript, c.slider);
    EXPECT_EQ(Calls(), "get get set") << "opening reads, the change reads again and stores once";
    if (c.slider == IDC_CLICK_TIME_SLIDER) {
      EXPECT_EQ(library.stored.SelDelay, static_cast<DWORD>(c.expected));
      EXPECT_EQ(library.stored.CliDelay, static_cast<DWORD>(c.expected));
    } else {
      EXPECT_EQ(library.stored.XInplace, c.expected);
      EXPECT_EQ(library.stored.YInplace, c.expected);
    }
  }
}

// Every step of the buttons, not aligned to a grid: 100 down to 10 by tens, then 1, then up by tens from 1.
TEST_F(TouchSettings, RepeatedStepsFollowTheSlidersOwnPosition) {
  library.stored.SelDelay = library.stored.CliDelay = 100;
  std::vector<headless::Action> actions;
  std::vector<LONG> stored;
  auto record = headless::Call([&] { stored.push_back(static_cast<LONG>(library.stored.CliDelay)); });
  for (int i = 0; i < 10; ++i) actions.insert(actions.end(), {headless::Click(IDC_CLICK_TIME_FAST), record});
  for (int i = 0; i < 2; ++i) actions.insert(actions.end(), {headless::Click(IDC_CLICK_TIME_SLOW), record});
  actions.push_back(headless::Click(IDOK));
  Outcome run = Run(actions);
  ASSERT_EQ(run.result, IDOK) << run.error;
  EXPECT_EQ(stored, (std::vector<LONG>{90, 80, 70, 60, 50, 40, 30, 20, 10, 1, 11, 21}));
}

TEST_F(TouchSettings, ASliderClickStoresExactlyItsPositionInBothWords) {
  struct Case {
    int slider;
    LONG clicked;
    LONG stored;
  };
  const Case cases[] = {{IDC_CLICK_TIME_SLIDER, 37, 37},       {IDC_CLICK_TIME_SLIDER, 1, 1},
                        {IDC_CLICK_TIME_SLIDER, 250, 100},     {IDC_CLICK_AREA_SLIDER, 7777, 7777},
                        {IDC_CLICK_AREA_SLIDER, 15000, 15000}, {IDC_CLICK_AREA_SLIDER, -4, 2500}};
  for (const Case &c : cases) {
    SCOPED_TRACE("slider " + std::to_string(c.slider) + " clicked at " + std::to_string(c.clicked));
    SetUp();
    Outcome run = Run({headless::Slider(c.slider, c.clicked), headless::Click(IDOK)});
    ASSERT_EQ(run.result, IDOK) << run.error;
    EXPECT_EQ(Calls(), "get get set");
    if (c.slider == IDC_CLICK_TIME_SLIDER) {
      EXPECT_EQ(library.stored.SelDelay, static_cast<DWORD>(c.stored));
      EXPECT_EQ(library.stored.CliDelay, static_cast<DWORD>(c.stored));
      EXPECT_EQ(library.stored.XInplace, 5000) << "the other pair was touched";
    } else {
      EXPECT_EQ(library.stored.XInplace, c.stored);
      EXPECT_EQ(library.stored.YInplace, c.stored);
      EXPECT_EQ(library.stored.CliDelay, 10u) << "the other pair was touched";
    }
  }
}

// A mode click changes bits 0-1 only, whatever else MouseMod holds, shows the mode's help text and
// checks its radio alone.
TEST_F(TouchSettings, ModeRadiosChangeOnlyTheModeBitsAndShowTheirHelp) {
  struct Case {
    int radio;
    DWORD mode;
    const char *help;
  };
  const Case cases[] = {
      {IDC_MODE_DESKTOP, 0,
       "It is useful for general-purpose desktop applications. In Desktop mode, a touch positions the cursor much like "
       "a mouse. Holding the touch is equal to pressing and holding the mouse button. Lifting the touch off is equal "
       "to releasing the mouse button. \""},
      {IDC_MODE_DRAWING, 1,
       "\"Drawing mode is useful for draw and graphics applications. In Drawing mode, a touch is equal to pressing and "
       "holding down the mouse button. Lifting off your touch is the same as releasing the mouse button.\""},
      {IDC_MODE_BUTTON, 2,
       "\"In Button mode, touching the screen is equal to pressing and/or releasing the mouse button.\""},
  };
  for (DWORD before : {0x00000000u, 0x80000003u, 0x7FFFFFFDu, 0x00000102u}) {
    for (const Case &c : cases) {
      SCOPED_TRACE("MouseMod " + std::to_string(before) + ", radio " + std::to_string(c.radio));
      SetUp();
      library.stored.MouseMod = before;
      Outcome run = Run({headless::Click(c.radio), headless::Dump(), headless::Click(IDOK)});
      ASSERT_EQ(run.result, IDOK) << run.error;
      EXPECT_EQ(library.stored.MouseMod, (before & ~3u) | c.mode);
      EXPECT_EQ(Calls(), "get get set");
      EXPECT_TRUE(Shows(run.transcript, IDC_MODE_HELP, c.help)) << Control(run.transcript, IDC_MODE_HELP);
      for (int radio : {IDC_MODE_DESKTOP, IDC_MODE_DRAWING, IDC_MODE_BUTTON})
        EXPECT_TRUE(Shows(run.transcript, radio, radio == c.radio ? " checked" : " unchecked")) << radio;
    }
  }
}

// Each change works on the record as it is now, not as it was when the dialog opened.
TEST_F(TouchSettings, EveryChangeFetchesTheWholeRecordFirst) {
  Outcome run = Run({headless::Call([] {
                       library.stored.LLX = 300;
                       library.stored.TouSound = 2;
                     }),
                     headless::Click(IDC_MODE_DRAWING), headless::Call([] { library.stored.MouseMod |= 0x80000000u; }),
                     headless::Click(IDC_SOUND_TOUCH_DOWN), headless::Click(IDOK)});
  ASSERT_EQ(run.result, IDOK) << run.error;
  EXPECT_EQ(Calls(), "get get set get set");
  EXPECT_EQ(library.stored.LLX, 300) << "a change stored the corners as they were at opening";
  EXPECT_EQ(library.stored.MouseMod, 0x80000001u) << "the sound change lost the armed right click";
  EXPECT_EQ(library.stored.TouSound, 1u);
}

TEST_F(TouchSettings, SoundRadiosStoreTheirValue) {
  for (auto [radio, sound] : {std::pair{IDC_SOUND_NONE, 0u}, std::pair{IDC_SOUND_TOUCH_DOWN, 1u},
                              std::pair{IDC_SOUND_TOUCH_DOWN_LIFT, 2u}}) {
    SetUp();
    library.stored.TouSound = 5;
    Outcome run = Run({headless::Click(radio), headless::Dump(), headless::Click(IDOK)});
    ASSERT_EQ(run.result, IDOK) << run.error;
    EXPECT_EQ(library.stored.TouSound, sound);
    EXPECT_TRUE(Shows(run.transcript, radio, " checked")) << radio;
  }
}

// What the dialog shows when it opens, and that opening stores nothing.
TEST_F(TouchSettings, OpeningShowsTheStoredSettingsAndWritesNothing) {
  struct Case {
    const char *name;
    DWORD mouseMod, touSound, cliDelay;
    LONG xInplace;
    int modeRadio, soundRadio;  // 0: none checked
    LONG timePosition, areaPosition;
  };
  const Case cases[] = {
      {"installed", 0, 0, 10, 5000, IDC_MODE_DESKTOP, IDC_SOUND_NONE, 10, 5000},
      {"drawing, sound at touch", 0x80000001, 1, 55, 12500, IDC_MODE_DRAWING, IDC_SOUND_TOUCH_DOWN, 55, 12500},
      {"button, sound at touch and lift", 2, 2, 100, 15000, IDC_MODE_BUTTON, IDC_SOUND_TOUCH_DOWN_LIFT, 100, 15000},
      {"mode 3 shows as Desktop; an unknown sound checks none", 3, 7, 1, 2500, IDC_MODE_DESKTOP, 0, 1, 2500},
      {"out of range: the sliders stand at the nearest end", 0, 0, 500, 100, IDC_MODE_DESKTOP, IDC_SOUND_NONE, 100,
       2500},
      {"below range", 0, 0, 0, 20000, IDC_MODE_DESKTOP, IDC_SOUND_NONE, 1, 15000},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    library.stored.MouseMod = c.mouseMod;
    library.stored.TouSound = c.touSound;
    library.stored.SelDelay = library.stored.CliDelay = c.cliDelay;
    library.stored.XInplace = library.stored.YInplace = c.xInplace;
    Outcome run = Run({headless::Dump(), headless::Click(IDOK)});
    ASSERT_EQ(run.result, IDOK) << run.error;
    EXPECT_EQ(Calls(), "get") << "opening stored something";
    EXPECT_TRUE(Shows(run.transcript, IDC_MODE_HELP, "\"\"")) << "the help text is empty until a mode is clicked";
    for (int radio : {IDC_MODE_DESKTOP, IDC_MODE_DRAWING, IDC_MODE_BUTTON, IDC_SOUND_NONE, IDC_SOUND_TOUCH_DOWN,
                      IDC_SOUND_TOUCH_DOWN_LIFT})
      EXPECT_TRUE(Shows(run.transcript, radio,
                        radio == c.modeRadio || radio == c.soundRadio ? " checked" : " unchecked"))
          << Control(run.transcript, radio);
    EXPECT_TRUE(Shows(run.transcript, IDC_CLICK_TIME_SLIDER, "range=1..100 pos=" + std::to_string(c.timePosition)))
        << Control(run.transcript, IDC_CLICK_TIME_SLIDER);
    EXPECT_TRUE(Shows(run.transcript, IDC_CLICK_AREA_SLIDER,
                      "range=2500..15000 pos=" + std::to_string(c.areaPosition)))
        << Control(run.transcript, IDC_CLICK_AREA_SLIDER);
  }
}

// When the record cannot be read, the dialog shows nothing as chosen, and a change made while it
// still cannot be read is not stored over the settings it does not know.
TEST_F(TouchSettings, AnUnreadableRecordShowsNothingChosenAndIsNeverWrittenBlind) {
  library.readable = false;
  library.stored.MouseMod = 2;
  Outcome run = Run({headless::Dump(), headless::Click(IDC_MODE_DRAWING), headless::Click(IDC_CLICK_TIME_SLOW),
                     headless::Call([] { library.readable = true; }), headless::Click(IDC_SOUND_TOUCH_DOWN),
                     headless::Click(IDOK)});
  ASSERT_EQ(run.result, IDOK) << run.error;
  for (int radio : {IDC_MODE_DESKTOP, IDC_MODE_DRAWING, IDC_MODE_BUTTON, IDC_SOUND_NONE, IDC_SOUND_TOUCH_DOWN,
                    IDC_SOUND_TOUCH_DOWN_LIFT})
    EXPECT_TRUE(Shows(run.transcript, radio, " unchecked")) << Control(run.transcript, radio);
  EXPECT_TRUE(Shows(run.transcript, IDC_CLICK_TIME_SLIDER, "pos=1"));
  EXPECT_TRUE(Shows(run.transcript, IDC_CLICK_AREA_SLIDER, "pos=2500"));
  EXPECT_EQ(Calls(), "get get get get set") << "a change was stored on a record that could not be read";
  EXPECT_EQ(library.stored.MouseMod, 2u);
  EXPECT_EQ(library.stored.CliDelay, 10u);
  EXPECT_EQ(library.stored.TouSound, 1u);
}

// Records, as OK ends the dialog, what OK left behind: the Desktop radio's mark and the timer.
class ClosingProbe : public CTouchSettingsDlg {
 public:
  bool endedByOk = false;
  LRESULT desktopMark = -1;
  BOOL timerLeft = TRUE;

 protected:
  void OnOK() override {
    CTouchSettingsDlg::OnOK();
    endedByOk = true;
    desktopMark = SendDlgItemMessageW(m_hWnd, IDC_MODE_DESKTOP, BM_GETCHECK, 0, 0);
    timerLeft = KillTimer(m_nTimerID);
  }
};

// OK, the close box and Escape end the dialog and none stores anything; OK and the close box
// also stop the measurement and take away the mark "&Start" put on the Desktop radio.
TEST_F(TouchSettings, TheCloseBoxBehavesLikeOk) {
  struct Case {
    const char *name;
    headless::Action end;
    INT_PTR result;
    bool byOk;
  };
  const Case cases[] = {{"OK", headless::Click(IDOK), IDOK, true},
                        {"close box", headless::Close(), IDOK, true},
                        {"Escape", headless::Escape(), IDCANCEL, false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    library.stored.MouseMod = 1;
    ClosingProbe probe;
    Outcome run = Run({headless::Click(IDC_MEASURE_START), headless::Dump(), c.end}, &probe);
    EXPECT_EQ(run.result, c.result) << run.error;
    EXPECT_EQ(Calls(), "get") << "starting or closing stored something";
    EXPECT_TRUE(Shows(run.transcript, IDC_MODE_DESKTOP, " checked")) << "\"&Start\" marks the Desktop radio";
    EXPECT_TRUE(Shows(run.transcript, IDC_MODE_DRAWING, " checked")) << "\"&Start\" cleared the mode's own radio";
    EXPECT_EQ(probe.endedByOk, c.byOk);
    if (c.byOk) {
      EXPECT_EQ(probe.desktopMark, BST_UNCHECKED);
      EXPECT_FALSE(probe.timerLeft) << "the measurement timer outlived OK";
    }
  }
}

// The measurement, against a device that hands out listed counts.
class Measurement : public TouchSettings {
 protected:
  void StartDevice(const std::string &counts) {
    devmgr.reset();
    root.WriteHive("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Counter]\n\"Dll\"=\"libcounter_driver.so\"\n"
                   "\"Prefix\"=\"NRV\"\n\"Counts\"=\"" + counts + "\"\n");
    devmgr = std::make_unique<ChildProcess>(NORVIK_BIN_DIR "/devmgr", std::vector<std::string>{"--root", root.path()});
    ASSERT_TRUE(devmgr->WaitForLine(Stream::kStdout, "NRV1: published", kBound)) << devmgr->Output(Stream::kStderr);
  }

  // The read-outs "1." to "4." and "Average:" in each dump of the run, as "100 0 0 0 / 25".
  static std::vector<std::string> Readouts(const std::string &transcript) {
    std::vector<std::string> shown;
    const std::string opening = "#32770 id=0 \"Touch  Settings\"";
    for (size_t at = transcript.find(opening); at != std::string::npos; at = transcript.find(opening, at + 1)) {
      std::string dump = transcript.substr(at, transcript.find(opening, at + 1) - at);
      std::string line;
      for (int id : {IDC_RATE_1, IDC_RATE_2, IDC_RATE_3, IDC_RATE_4, IDC_RATE_AVERAGE}) {
        std::string control = Control(dump, id);
        size_t quote = control.find('"');
        std::string text = control.substr(quote + 1, control.find('"', quote + 1) - quote - 1);
        line += (id == IDC_RATE_1 ? "" : id == IDC_RATE_AVERAGE ? " / " : " ") + (text.empty() ? "-" : text);
      }
      shown.push_back(line);
    }
    return shown;
  }

  testing_support::TempDeviceRoot root;
  std::unique_ptr<ChildProcess> devmgr;
};

TEST_F(Measurement, EachTickShowsTheLastFourCountsAndTheirAverage) {
  struct Case {
    const char *name;
    const char *counts;
    int ticks;
    const char *shown;
  };
  const Case cases[] = {
      {"the first tick shows its count and a quarter of it", "100", 1, "100 0 0 0 / 25"},
      {"the average truncates", "10,11,12,13", 4, "13 12 11 10 / 11"},
      {"without touches each tick shows 0 and moves the counts on", "5,0,0", 3, "0 0 5 0 / 1"},
      {"a fifth count pushes the oldest out", "1,2,3,4,5", 5, "5 4 3 2 / 3"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    StartDevice(c.counts);
    Outcome run = Run({headless::Dump(), headless::Tick(2), headless::Dump(), headless::Click(IDC_MEASURE_START),
                       headless::Tick(c.ticks), headless::Dump(), headless::Click(IDOK)});
    ASSERT_EQ(run.result, IDOK) << run.error;
    EXPECT_EQ(Readouts(run.transcript), (std::vector<std::string>{"- - - - / -", "- - - - / -", c.shown}))
        << "the read-outs stay empty until the first tick after \"&Start\"";
  }
}

TEST_F(Measurement, TheHistorySurvivesASecondOpening) {
  StartDevice("100,7");
  ASSERT_EQ(Run({headless::Click(IDC_MEASURE_START), headless::Tick(1), headless::Click(IDOK)}).result, IDOK);
  Outcome again = Run({headless::Dump(), headless::Click(IDC_MEASURE_START), headless::Tick(1), headless::Dump(),
                       headless::Click(IDOK)});
  ASSERT_EQ(again.result, IDOK) << again.error;
  EXPECT_EQ(Readouts(again.transcript), (std::vector<std::string>{"- - - - / -", "7 100 0 0 / 26"}));
}

// A tick whose device cannot be opened, or opened but does not answer, changes nothing on the
// screen; without the driver all five read-outs stay empty.
TEST_F(Measurement, ATickWithoutACountChangesNothing) {
  StartDevice("100,7");
  Outcome run =
      Run({headless::Click(IDC_MEASURE_START), headless::Tick(1), headless::Dump(),
           headless::Call([] { platform::InjectFault("DeviceIoControl", "NRV1:", ERROR_GEN_FAILURE, 1); }),
           headless::Tick(1), headless::Dump(),
           headless::Call([] { platform::InjectFault("CreateFileW", "NRV1:", ERROR_OPEN_FAILED, 1); }),
           headless::Tick(1), headless::Dump(), headless::Tick(1), headless::Dump(), headless::Click(IDOK)});
  ASSERT_EQ(run.result, IDOK) << run.error;
  EXPECT_EQ(Readouts(run.transcript),
            (std::vector<std::string>{"100 0 0 0 / 25", "100 0 0 0 / 25", "100 0 0 0 / 25", "7 100 0 0 / 26"}));
}

TEST_F(Measurement, WithTheDriverAbsentTheReadoutsStayEmpty) {
  Outcome run = Run({headless::Click(IDC_MEASURE_START), headless::Tick(3), headless::Click(IDC_MEASURE_START),
                     headless::Tick(2), headless::Dump(), headless::Click(IDOK)});
  ASSERT_EQ(run.result, IDOK) << run.error;
  EXPECT_EQ(Readouts(run.transcript), (std::vector<std::string>{"- - - - / -"}));
}

}  // namespace
