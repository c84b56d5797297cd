// The framework's entry point, standing for the platform's WinMain: it takes the device root and
// the rendering options, runs the application object's InitInstance and ends the program.
//
//   PROGRAM [--root DIR] --headless --script FILE
//
// Only the headless rendering exists: the script plays the user's actions, and what the run
// shows (dumps, message boxes) goes to standard output.
#include <afxwin.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/device_root.h"
#include "platform/headless.h"

namespace {

const char *ProgramName(const char *path) {
  const char *slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

}  // namespace

int main(int argc, char **argv) {
  const char *program = ProgramName(argv[0]);
  if (!platform::InitDeviceRoot(argc, argv, program)) return 2;
  bool headless = false;
  const char *scriptPath = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0) {
      headless = true;
    } else if (std::strcmp(argv[i], "--script") == 0 && i + 1 < argc) {
      scriptPath = argv[++i];
    } else {
      std::fprintf(stderr, "%s: unknown argument '%s'\nusage: %s [--root DIR] --headless --script FILE\n", program,
                   argv[i], program);
      return 2;
    }
  }
  if (!headless || scriptPath == nullptr) {
    std::fprintf(stderr,
                 "%s: only the headless rendering exists so far: run it with --headless --script FILE, the script "
                 "giving the user's actions (see docs/dialogs.md)\n",
                 program);
    return 2;
  }
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

  CWinApp *app = AfxGetApp();
  if (app == nullptr) {
    std::fprintf(stderr, "%s: the program has no application object\n", program);
    return 1;
  }
  app->m_hInstance = reinterpret_cast<HINSTANCE>(GetModuleHandleW(nullptr));
  int status = 0;
  {
    platform::headless::Session session(std::move(actions));
    if (app->InitInstance()) app->ExitInstance();
    std::fputs(session.Transcript().c_str(), stdout);
    if (session.Failed()) {
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
