// The main dialog. The layout is made once, when the dialog opens; the dialog has a fixed size.
#include "main_dialog.h"


#include "calibkit.h"
#include "driver_port.h"
#include "function_list_layout.h"
#include "resource.h"
#include "touch_settings_dialog.h"

namespace {

// What the dialog uses when ButShow cannot be read.
const DWORD kDefaultButShow = 0x1F;

// The prompts after each calibration, for a run that finished and one that did not, stored as
// 8-bit text and widened for display.
const char *const k2PointPrompts[2] = {" 2 Point Calibration Finished!, Calibrate again? ",
                                       " 2 Point Calibration not Finished!, Calibrate again? "};
const char *const k5PointPrompts[2] = {" 5 Point Calibration Finished!, Calibrate again? ",
                                       " 5 Point Calibration not Finished!, Calibrate again? "};
const char *const k25PointPrompts[2] = {" 25 Point Calibration Finished!, Calibrate again? ",
                                        " 25 Point Calibration not Finished!, Calibrate again? "};

// 8-bit text as the window manager's UTF-16, one character each.
void Widen(const char *text, WCHAR *wide, size_t size) {
  size_t i = 0;
  for (; text[i] != 0 && i + 1 < size; ++i) wide[i] = static_cast<unsigned char>(text[i]);
  wide[i] = 0;
}

}  // namespace

BEGIN_MESSAGE_MAP(CMainDlg, CDialog)
ON_BN_CLICKED(IDC_QUIT, OnQuit)
ON_BN_CLICKED(IDC_CALIBRATE_2PT, OnCalibrate2Pt)
ON_BN_CLICKED(IDC_CALIBRATE_5PT, OnCalibrate5Pt)
ON_BN_CLICKED(IDC_CALIBRATE_25PT, OnCalibrate25Pt)
ON_BN_CLICKED(IDC_DRAW_TEST, OnDrawTest)
ON_BN_CLICKED(IDC_TOUCH_SETTING, OnTouchSetting)
ON_MESSAGE(WM_CAL2PT_DONE, OnCalibrate2PtDone)
ON_MESSAGE(WM_CAL5PT_DONE, OnCalibrate5PtDone)
ON_MESSAGE(WM_CAL25PT_DONE, OnCalibrate25PtDone)
END_MESSAGE_MAP()

CMainDlg::CMainDlg(CWnd *pParent) : CDialog(IDD_MAIN, pParent), m_szComm{} {
  m_hIcon = LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME));
}

void CMainDlg::DoDataExchange(CDataExchange *pDX) { CDialog::DoDataExchange(pDX); }

BOOL CMainDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
  CenterWindow();
  SetWindowPos(&wndTopMost, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
               SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW);
  DWORD butShow = kDefaultButShow;
  ReadDriverKey(&butShow);
  LayOutFunctionButtons(butShow);
  return TRUE;
}

// Reads "COMM" and "ButShow". A port name that cannot be read, or does not fit with its
// terminator, leaves "COM1:"; a ButShow that cannot be read, or is not a 32-bit word (a string
// "1" would otherwise read as its character codes), leaves all five buttons.
void CMainDlg::ReadDriverKey(DWORD *butShow) {
  ReadDriverPort(m_szComm);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, NORVIK_REGISTRY_KEY, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  DWORD mask = 0, type = 0;
  DWORD size = sizeof mask;
  if (RegQueryValueExW(key, NORVIK_VALUE_BUT_SHOW, nullptr, &type, reinterpret_cast<BYTE *>(&mask), &size) ==
          ERROR_SUCCESS &&
      type == REG_DWORD && size == sizeof mask)
    *butShow = mask;
  RegCloseKey(key);
}

void CMainDlg::LayOutFunctionButtons(DWORD butShow) {
  RECT client{}, group{}, button{};
  GetClientRect(&client);
  CWnd *frame = GetDlgItem(IDC_FUNCTION_LIST);
  CWnd *first = GetDlgItem(IDC_CALIBRATE_2PT);
  if (frame == nullptr || first == nullptr) return;
  frame->GetClientRect(&group);
  first->GetClientRect(&button);
  FunctionListLayout layout =
      LayOutFunctionList(client.right, client.bottom, group.right, group.bottom, button.right, button.bottom, butShow);
  frame->MoveWindow(layout.frameLeft, layout.frameTop, layout.frameWidth, layout.frameHeight, FALSE);
  // The template shows every function button in its own grid; those not listed would overlap
  // the placed ones, so they are hidden.
  for (int bit = 0; bit < 5; ++bit)
    if ((butShow & (1u << bit)) == 0)
      if (CWnd *unlisted = GetDlgItem(kFunctionButtonIds[bit])) unlisted->ShowWindow(SW_HIDE);
  for (const ButtonPlacement &placed : layout.buttons) {
    CWnd *control = GetDlgItem(placed.id);
    if (control == nullptr) continue;
    control->EnableWindow(TRUE);
    control->ShowWindow(SW_SHOW);
    control->MoveWindow(placed.left, placed.top, placed.width, placed.height, FALSE);
  }
}

void CMainDlg::OnQuit() { CDialog::OnOK(); }

// Each command is one call of the library, which tells this dialog when a calibration ends.
void CMainDlg::OnCalibrate2Pt() {
  Do2PtsCalibration(AfxGetInstanceHandle(), m_szComm, 1, 0, m_hWnd, WM_CAL2PT_DONE);
}

void CMainDlg::OnCalibrate5Pt() {
  Do5PtsCalibration(AfxGetInstanceHandle(), m_szComm, 1, 0, m_hWnd, WM_CAL5PT_DONE);
}

void CMainDlg::OnCalibrate25Pt() {
  Do25PtsCalibration(AfxGetInstanceHandle(), m_szComm, 1, 0, m_hWnd, WM_CAL25PT_DONE);
}

void CMainDlg::OnDrawTest() { DoDrawTest(AfxGetInstanceHandle(), m_szComm, 1, 0, m_hWnd, 0); }

bool CMainDlg::AskAgain(WPARAM finished, const char *const prompts[2], const char *caption) {
  WCHAR text[64], title[32];
  Widen(prompts[finished != 0 ? 0 : 1], text, sizeof text / sizeof text[0]);
  Widen(caption, title, sizeof title / sizeof title[0]);
  return MessageBox(text, title, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

// A Yes runs the same calibration again, from inside this handler, as a click on its button does.
LRESULT CMainDlg::OnCalibrate2PtDone(WPARAM wParam, LPARAM) {
  if (AskAgain(wParam, k2PointPrompts, " 2 Point Calibration")) OnCalibrate2Pt();
  return 0;
}

LRESULT CMainDlg::OnCalibrate5PtDone(WPARAM wParam, LPARAM) {
  if (AskAgain(wParam, k5PointPrompts, " 5 Point Calibration")) OnCalibrate5Pt();
  return 0;
}

LRESULT CMainDlg::OnCalibrate25PtDone(WPARAM wParam, LPARAM) {
  if (AskAgain(wParam, k25PointPrompts, " 25 Point Calibration")) OnCalibrate25Pt();
  return 0;
}

// Without a parent the application's main window, this dialog, owns the settings dialog and
// stays disabled until it closes.
void CMainDlg::OnTouchSetting() {
  CTouchSettingsDlg dialog;
  dialog.DoModal();
}
