// The application object. InitInstance returns FALSE, so the framework ends the program as soon
// as the main dialog has closed instead of entering its own message loop.
#include "utility_app.h"

#include "main_dialog.h"

CUtilityApp theApp;

BEGIN_MESSAGE_MAP(CUtilityApp, CWinApp)
END_MESSAGE_MAP()

BOOL CUtilityApp::InitInstance() {
  CMainDlg dialog;
  m_pMainWnd = &dialog;
  dialog.DoModal();
  m_pMainWnd = nullptr;
  return FALSE;
}
