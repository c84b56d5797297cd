// CMainDlg: the main dialog. A logo and the version, company and web lines on the left; on the
// right the group box "Functional List" with the function buttons that ButShow selects and Quit.
// It reads the port name and ButShow from the driver's registry key when it opens. The
// calibration buttons start runs of the calibration library, whose end arrives as a message that
// the dialog answers with the offer to calibrate again.
#pragma once

#include <afxwin.h>

#include "norvik_registry.h"

class CMainDlg : public CDialog {
 public:
  explicit CMainDlg(CWnd *pParent = nullptr);
  ~CMainDlg() override = default;

  WCHAR m_szComm[NORVIK_PORT_NAME_CHARS];  // the controller's port name, always terminated

 protected:
  void DoDataExchange(CDataExchange *pDX) override;
  BOOL OnInitDialog() override;

  void OnQuit();
  void OnCalibrate2Pt();
  void OnCalibrate5Pt();
  void OnCalibrate25Pt();
  void OnDrawTest();
  void OnTouchSetting();
  LRESULT OnCalibrate2PtDone(WPARAM wParam, LPARAM lParam);
  LRESULT OnCalibrate5PtDone(WPARAM wParam, LPARAM lParam);
  LRESULT OnCalibrate25PtDone(WPARAM wParam, LPARAM lParam);

  HICON m_hIcon;

  DECLARE_MESSAGE_MAP()

 private:
  void ReadDriverKey(DWORD *butShow);
  void LayOutFunctionButtons(DWORD butShow);
  // Asks whether to calibrate again: `prompts` holds the texts for a run that finished and one
  // that did not. True for Yes.
  bool AskAgain(WPARAM finished, const char *const prompts[2], const char *caption);
};
