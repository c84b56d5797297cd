// Message boxes on an X11 display: MessageBoxW shows a modal FLTK window under Xvfb, and the keys
// the user presses (played with xdotool) decide which button's id comes back.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/fltk_display.h"
#include "process.h"
#include "x_server.h"

// Fontconfig, under FLTK's text drawing, keeps its caches until the process ends; LeakSanitizer
// would report them as this program's leaks.
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

using testing_support::ChildProcess;
using testing_support::FindProgram;
using testing_support::XServer;

constexpr std::chrono::milliseconds kBound{20000};

// A box whose key never arrives would keep the test in MessageBoxW for ever; past the bound the
// watchdog ends the program with a message instead.
class Watchdog {
 public:
  explicit Watchdog(std::string what)
      : thread_([this, what = std::move(what)] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (changed_.wait_for(lock, kBound, [this] { return disarmed_; })) return;
          std::fprintf(stderr, "FAILED: %s did not return within %lld ms\n", what.c_str(),
                       static_cast<long long>(kBound.count()));
          std::_Exit(1);
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      disarmed_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool disarmed_ = false;
  std::thread thread_;
};

class FltkMessageBox : public ::testing::Test {
 protected:
  // One display for the whole program: FLTK connects once per process.
  static void SetUpTestSuite() {
    std::optional<std::string> xvfb = FindProgram("Xvfb");
    if (!xvfb) return;
    server_ = new XServer(*xvfb);
    if (server_->display().empty()) return;
    setenv("DISPLAY", server_->display().c_str(), 1);
    opened_ = platform::fltk::OpenDisplay(&error_);
  }

  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(FindProgram("Xvfb")) << "Xvfb is not installed: run scripts/setup, which installs it";
    std::optional<std::string> xdotool = FindProgram("xdotool");
    ASSERT_TRUE(xdotool) << "xdotool is not installed: run scripts/setup, which installs it";
    xdotool_ = *xdotool;
    ASSERT_TRUE(opened_) << error_;
  }

  // Presses `keys` (xdotool's names, blank-separated) in the window captioned `caption` once it
  // shows and takes input, while the box waits, on a thread of its own; true when each step did.
  // The keys are an xdotool run that names no window, so both presses and releases go through
  // XTEST: sent to the found window, the release would fail once the press had closed it, leaving
  // the key held down in the server, where the next box's press of that key would be lost.
  std::thread PressWhenShown(const std::string &caption, const std::string &keys, bool *pressed) {
    return std::thread([this, caption, keys, pressed] {
      auto run = [this](std::vector<std::string> arguments) -> std::optional<std::string> {
        ChildProcess tool(xdotool_, std::move(arguments));
        auto exit = tool.WaitForExit(kBound);
        if (!exit || exit->code != 0) return std::nullopt;
        return tool.Output(testing_support::Stream::kStdout);
      };
      *pressed = false;
      auto found = run({"search", "--sync", "--onlyvisible", "--name", "^" + caption + "$"});
      if (!found || found->empty()) return;
      const std::string window = found->substr(0, found->find('\n'));
      if (!testing_support::WaitUntilTakesInput(server_->display(), window, kBound)) return;
      if (!run({"windowfocus", "--sync", window})) return;
      std::vector<std::string> press{"key"};
      for (size_t at = 0; at < keys.size();) {
        size_t end = std::min(keys.find(' ', at), keys.size());
        press.push_back(keys.substr(at, end - at));
        at = end + 1;
      }
      *pressed = run(press).has_value();
    });
  }

  static inline XServer *server_ = nullptr;
  static inline bool opened_ = false;
  static inline std::string error_;
  std::string xdotool_;
};

TEST_F(FltkMessageBox, TheKeyPressedPicksTheAnswer) {
  struct Case {
    const char *caption;
    UINT type;
    const char *key;
    int answer;
  };
  const Case cases[] = {
      {"Yes or no", MB_YESNO, "Return", IDYES},
      {"Yes or no escaped", MB_YESNO, "Escape", IDNO},
      {"Ok or cancel escaped", MB_OKCANCEL, "Escape", IDCANCEL},
      {"Yes no or cancel", MB_YESNOCANCEL, "Return", IDYES},
      {"Just ok", MB_OK, "Return", IDOK},
      {"Just ok escaped", MB_OK, "Escape", IDOK},
      // The focus starts on the first button; Tab, Shift+Tab and the arrows move it, round the
      // end, and space clicks the button that has it.
      {"Space on the first", MB_OKCANCEL, "space", IDOK},
      {"Tab then space", MB_YESNO, "Tab space", IDNO},
      {"Back round the end", MB_OKCANCEL, "shift+Tab space", IDCANCEL},
      {"Arrows then space", MB_YESNOCANCEL, "Right Right Left Right space", IDCANCEL},
  };
  for (const Case &c : cases) {
    bool pressed = false;
    std::thread press = PressWhenShown(c.caption, c.key, &pressed);
    std::u16string caption(c.caption, c.caption + std::char_traits<char>::length(c.caption));
    int answer = 0;
    {
      Watchdog watchdog(std::string("the box \"") + c.caption + "\" answered by " + c.key);
      answer = MessageBoxW(nullptr, u"Proceed?", caption.c_str(), c.type);
    }
    press.join();
    EXPECT_EQ(answer, c.answer) << c.caption;
    EXPECT_TRUE(pressed) << c.caption << ": the box was not found, never took input, or xdotool failed";
  }
}

}  // namespace
