// CUtilityApp: the utility's application object. It runs the main dialog modally, or the run its
// command line asks for, and ends the program when that closes.
#pragma once

#include <afxwin.h>

class CUtilityApp : public CWinApp {
 public:
  CUtilityApp() = default;
  ~CUtilityApp() override = default;
  BOOL InitInstance() override;
  int ExitInstance() override;

  DECLARE_MESSAGE_MAP()

 private:
  int m_exitCode = 0;
};

extern CUtilityApp theApp;
