// The main dialog. The layout is made once, when the dialog opens; the dialog has a fixed size.
#include "main_dialog.h"

#include <cstring>

#include "function_list_layout.h"
#include "resource.h"
#include "touch_settings_dialog.h"

namespace {

// What the dialog uses when the driver's key or a value cannot be read.
const WCHAR kDefaultPort[] = TEXT("COM1:");
const DWORD kDefaultButShow = 0x1F;

}  // namespace

BEGIN_MESSAGE_MAP(CMainDlg, CDialog)
ON_BN_CLICKED(IDC_QUIT, OnQuit)
ON_BN_CLICKED(IDC_CALIBRATE_2PT, OnCalibrate2Pt)
ON_BN_CLICKED(IDC_CALIBRATE_5PT, OnCalibrate5Pt)
ON_BN_CLICKED(IDC_CALIBRATE_25PT, OnCalibrate25Pt)
ON_BN_CLICKED(IDC_DRAW_TEST, OnDrawTest)
ON_BN_CLICKED(IDC_TOUCH_SETTING, OnTouchSetting)
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
// terminator, leaves "COM1:"; a ButShow that cannot be read leaves all five buttons.
void CMainDlg::ReadDriverKey(DWORD *butShow) {
  std::memcpy(m_szComm, kDefaultPort, sizeof kDefaultPort);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, NORVIK_REGISTRY_KEY, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  WCHAR name[NORVIK_PORT_NAME_CHARS] = {};
  DWORD size = sizeof name;
  DWORD type = 0;
  if (RegQueryValueExW(key, NORVIK_VALUE_COMM, nullptr, &type, reinterpret_cast<BYTE *>(name), &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ) {
    bool terminated = false;
    for (WCHAR c : name) terminated = terminated || c == 0;
    if (terminated) std::memcpy(m_szComm, name, sizeof name);
  }
  DWORD mask = 0;
  size = sizeof mask;
  if (RegQueryValueExW(key, NORVIK_VALUE_BUT_SHOW, nullptr, &type, reinterpret_cast<BYTE *>(&mask), &size) ==
          ERROR_SUCCESS &&
      size == sizeof mask)
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

// The calibration commands come with the calibration runs; until then their buttons do nothing.
void CMainDlg::OnCalibrate2Pt() {}
void CMainDlg::OnCalibrate5Pt() {}
void CMainDlg::OnCalibrate25Pt() {}
void CMainDlg::OnDrawTest() {}

// Without a parent the application's main window, this dialog, owns the settings dialog and
// stays disabled until it closes.
void CMainDlg::OnTouchSetting() {
  CTouchSettingsDlg dialog;
  dialog.DoModal();
}
