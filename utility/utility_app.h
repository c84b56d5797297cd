// CUtilityApp: the utility's application object. It runs the main dialog modally and ends the
// program when the dialog closes.
#pragma once

#include <afxwin.h>

class CUtilityApp : public CWinApp {
 public:
  CUtilityApp() = default;
  ~CUtilityApp() override = default;
  BOOL InitInstance() override;

  DECLARE_MESSAGE_MAP()
};

extern CUtilityApp theApp;
