// The application object. InitInstance returns FALSE, so the framework ends the program as soon
// as the main dialog (or the run the command line asked for) has closed instead of entering its
// own message loop; ExitInstance gives the program's exit status.
#include "utility_app.h"

#include "command_line.h"
#include "direct_run.h"
#include "main_dialog.h"

CUtilityApp theApp;

BEGIN_MESSAGE_MAP(CUtilityApp, CWinApp)
END_MESSAGE_MAP()

BOOL CUtilityApp::InitInstance() {
  const CalvexCommand command = ParseCalvexCommand(m_lpCmdLine);
  switch (command.kind) {
    case CalvexCommand::Kind::kError:
      NKDbgPrintfW(TEXT("calvex: %a\n"), command.error.c_str());
      m_exitCode = 2;
      return FALSE;
    case CalvexCommand::Kind::kCheck:
      m_exitCode = RunCheck(m_hInstance);
      return FALSE;
    case CalvexCommand::Kind::kCalibrate:
      m_exitCode = RunCalibration(m_hInstance, command.points);
      return FALSE;
    case CalvexCommand::Kind::kDialog:
      break;
  }
  CMainDlg dialog;
  m_pMainWnd = &dialog;
  dialog.DoModal();
  m_pMainWnd = nullptr;
  return FALSE;
}

int CUtilityApp::ExitInstance() { return m_exitCode; }
