// The framework's entry point, standing for the platform's WinMain: it takes the device root and
// the rendering options, runs the application object's InitInstance and ends the program.
//
//   PROGRAM [--root DIR] [--headless --script FILE] [ARGUMENT...]
//   PROGRAM --help
//
// The arguments that are not the framework's are the program's own: they reach it as
// CWinApp::m_lpCmdLine, separated by spaces, and it says what is wrong with them. Its exit status
// is what ExitInstance returns, which the framework calls however InitInstance ended.
//
// With --headless the script plays the user's actions, and what the run shows (dumps, message
// boxes) goes to standard output as it happens. Without it the dialogs show on the X11 display DISPLAY names.
#include <afxwin.h>

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/device_root.h"
#include "platform/fltk_display.h"
#include "platform/help_option.h"
#include "platform/headless.h"
#include "platform/stop_signals.h"
#include "resource_file.h"

namespace {

const char *ProgramName(const char *path) {
  const char *slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// The program's own arguments, as the application object receives them.
std::u16string commandLine;

CWinApp *Application(const char *program) {
  CWinApp *app = AfxGetApp();
  if (app == nullptr) {
    std::fprintf(stderr, "%s: the program has no application object\n", program);
    return nullptr;
  }
  app->m_hInstance = reinterpret_cast<HINSTANCE>(GetModuleHandleW(nullptr));
  app->m_lpCmdLine = commandLine.data();
  return app;
}

// InitInstance, then ExitInstance, whose value is the program's exit status.
int RunApplication(CWinApp *app) {
  app->InitInstance();
  return app->ExitInstance();
}

void PrintUsage(const char *program, std::FILE *out) {
  std::fprintf(out,
               "usage: %s [--root DIR] [--headless --script FILE] [--check | --calibrate 2|5|25]\n"
               "  --root DIR        the device root (default: DEVICE_ROOT)\n"
               "  --headless        run without a display; the script plays the user\n"
               "  --script FILE     the user's actions, one a line (see dialogs.md in /usr/share/doc/norvik/,\n"
               "                    or docs/ in the source)\n"
               "  --check           check the calibration: three targets, nothing stored; offers to\n"
               "                    calibrate when the touch is off (exit 0: within the bound)\n"
               "  --calibrate N     run the N-point calibration (2, 5 or 25) at once, without the main\n"
               "                    dialog, and end (exit 0: new corners stored)\n"
               "  --help, -h        print this and exit\n"
               "Without --headless the dialogs show on the X11 display DISPLAY names.\n",
               program);
}

// SIGINT and SIGTERM end the program the way its user would: a WM_QUIT for the user-interface
// thread ends every modal loop, innermost first, so that each dialog and whatever runs under it
// (a calibration gives the controller's port back to the driver) finishes its work on the way
// out. The signals are taken by a thread of their own, never by the interface thread mid-call.
std::atomic<int> endedBySignal{0};

bool WatchSignals(const char *program, platform::StopSignalWatcher *watcher) {
  platform::BlockStopSignals();  // inherited by every thread started later
  MSG message;
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // the interface thread's queue must exist
  const DWORD interfaceThread = GetCurrentThreadId();
  std::string error;
  const bool started = watcher->Start(
      [interfaceThread](int signal) {
        endedBySignal = signal;
        PostThreadMessageW(interfaceThread, WM_QUIT, 0, 0);
      },
      &error);
  if (!started)
    std::fprintf(stderr, "%s: cannot start a thread to watch for signals: %s; raise the thread limit\n", program,
                 error.c_str());
  return started;
}

// The status after a signal, as a shell reports a program that the signal ended.
int SignalStatus(const char *program) {
  int signal = endedBySignal.load();
  std::fprintf(stderr, "%s: ended by %s\n", program, signal == SIGINT ? "SIGINT" : "SIGTERM");
  return 128 + signal;
}

int RunOnDisplay(const char *program) {
  std::string error;
  if (!platform::fltk::OpenDisplay(&error)) {
    std::fprintf(stderr, "%s: %s\n", program, error.c_str());
    return 2;
  }
  CWinApp *app = Application(program);
  if (app == nullptr) return 1;
  const int status = RunApplication(app);
  return endedBySignal != 0 ? SignalStatus(program) : status;
}

}  // namespace

int main(int argc, char **argv) {
  const char *program = ProgramName(argv[0]);
  // The usage needs no device, so it is printed before a device root is looked for.
  if (platform::WantsHelp(argc, argv)) {
    PrintUsage(program, stdout);
    return 0;
  }
  if (!platform::InitDeviceRoot(argc, argv, program)) return 2;
  bool headless = false;
  const char *scriptPath = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0) {
      headless = true;
    } else if (std::strcmp(argv[i], "--script") == 0 && i + 1 < argc) {
      scriptPath = argv[++i];
    } else {
      if (!commandLine.empty()) commandLine += u' ';
      for (const char *c = argv[i]; *c != 0; ++c) commandLine += static_cast<char16_t>(static_cast<unsigned char>(*c));
    }
  }
  if (headless != (scriptPath != nullptr)) {
    std::fprintf(stderr,
                 "%s: --headless and --script FILE go together: the script gives the user's actions (see "
                 "dialogs.md in /usr/share/doc/norvik/, or docs/ in the source); without both, the dialogs show on the X11 display\n",
                 program);
    return 2;
  }
  // Without its resources the program has no dialog to show.
  std::string resourceError;
  if (!platform::ProgramResourcesReadable(&resourceError)) {
    std::fprintf(stderr, "%s: %s\n", program, resourceError.c_str());
    return 2;
  }
  platform::StopSignalWatcher signalWatcher;
  if (!WatchSignals(program, &signalWatcher)) return 1;
  if (!headless) return RunOnDisplay(program);
  std::ifstream in(scriptPath);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read the script %s\n", program, scriptPath);
    return 2;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::vector<platform::headless::Action> actions;
  std::string error;
  if (!platform::headless::ParseScript(text.str(), &actions, &error)) {
    std::fprintf(stderr, "%s: %s: %s\n", program, scriptPath, error.c_str());
    return 2;
  }

  CWinApp *app = Application(program);
  if (app == nullptr) return 1;
  int status = 0;
  {
    // What the run shows goes out as it happens, so that another program can follow the run.
    platform::headless::Session session(std::move(actions), [](const std::string &text) {
      std::fputs(text.c_str(), stdout);
      std::fflush(stdout);
    });
    status = RunApplication(app);
    if (endedBySignal != 0) {
      status = SignalStatus(program);
    } else if (session.Failed()) {
      std::fprintf(stderr, "%s: the script failed: %s\n", program, session.Error().c_str());
      status = 1;
    } else if (session.Unused() > 0) {
      std::fprintf(stderr, "%s: the program ended with %zu action(s) of the script not played\n", program,
                   session.Unused());
      status = 1;
    }
  }
  return status;
}
