// The Touch Settings dialog. Every handler that changes a setting fetches the whole record first,
// changes its word or words and stores it at once, so two changes never work on a stale copy and
// nothing is held back for the end; OK only closes the dialog.
#include "touch_settings_dialog.h"

#include "resource.h"

namespace {

// The radio of each touch mode, by the low two bits of MouseMod; mode 3 shows as Desktop.
const int kModeRadios[4] = {IDC_MODE_DESKTOP, IDC_MODE_DRAWING, IDC_MODE_BUTTON, IDC_MODE_DESKTOP};

const WCHAR kDesktopHelp[] =
    TEXT("It is useful for general-purpose desktop applications. In Desktop mode, a touch positions the cursor much ")
        TEXT("like a mouse. Holding the touch is equal to pressing and holding the mouse button. Lifting the touch ")
            TEXT("off is equal to releasing the mouse button. ");
const WCHAR kDrawingHelp[] =
    TEXT("Drawing mode is useful for draw and graphics applications. In Drawing mode, a touch is equal to pressing ")
        TEXT("and holding down the mouse button. Lifting off your touch is the same as releasing the mouse button.");
const WCHAR kButtonHelp[] =
    TEXT("In Button mode, touching the screen is equal to pressing and/or releasing the mouse button.");

const LPCWSTR kModeHelp[3] = {kDesktopHelp, kDrawingHelp, kButtonHelp};

// The sliders' ranges: click response time in reports, click area in pointer units.
constexpr LONG kClickTimeMin = 1, kClickTimeMax = 100, kClickTimeStep = 10;
constexpr LONG kClickAreaMin = 2500, kClickAreaMax = 15000, kClickAreaStep = 2500;

}  // namespace

BEGIN_MESSAGE_MAP(CTouchSettingsDlg, CDialog)
ON_BN_CLICKED(IDC_MODE_DESKTOP, OnDesktop)
ON_BN_CLICKED(IDC_MODE_DRAWING, OnDrawing)
ON_BN_CLICKED(IDC_MODE_BUTTON, OnButtonMode)
ON_BN_CLICKED(IDC_MODE_HELP, OnModeHelp)
ON_BN_CLICKED(IDC_RIGHT_CLICK, OnRightClick)
ON_BN_CLICKED(IDC_SOUND_NONE, OnNoSound)
ON_BN_CLICKED(IDC_SOUND_TOUCH_DOWN, OnTouchDown)
ON_BN_CLICKED(IDC_SOUND_TOUCH_DOWN_LIFT, OnTouchDownLift)
ON_BN_CLICKED(IDC_CLICK_TIME_FAST, OnFast)
ON_BN_CLICKED(IDC_CLICK_TIME_SLOW, OnSlow)
ON_NOTIFY(NM_CLICK, IDC_CLICK_TIME_SLIDER, OnClickTimeClick)
ON_BN_CLICKED(IDC_CLICK_AREA_SMALL, OnSmall)
ON_BN_CLICKED(IDC_CLICK_AREA_LARGE, OnLarge)
ON_BN_CLICKED(IDC_MEASURE_START, OnStart)
ON_NOTIFY(NM_CLICK, IDC_CLICK_AREA_SLIDER, OnClickAreaClick)
ON_WM_TIMER()
ON_WM_CLOSE()
END_MESSAGE_MAP()

// The working record starts zeroed rather than unset, so that nothing reads indeterminate words.
CTouchSettingsDlg::CTouchSettingsDlg(CWnd *pParent)
    : CDialog(IDD_TOUCH_SETTINGS, pParent), m_nClickTime(0), m_nClickArea(0), m_nTimerID(1), m_param{} {}

void CTouchSettingsDlg::DoDataExchange(CDataExchange *pDX) { CDialog::DoDataExchange(pDX); }

BOOL CTouchSettingsDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  const bool known = FetchParameters();
  EnableWindow(TRUE);
  if (known) {
    RefreshControls();
    if (m_param.TouSound <= 2) CheckRadioButton(IDC_SOUND_NONE, IDC_SOUND_TOUCH_DOWN_LIFT,
                                                IDC_SOUND_NONE + static_cast<int>(m_param.TouSound));
  } else {
    // Nothing is known of the settings: no mode and no sound is shown as chosen, and the sliders
    // rest at the low ends of their ranges until the user moves them.
    for (int id : kModeRadios) SendDlgItemMessageW(m_hWnd, id, BM_SETCHECK, BST_UNCHECKED, 0);
    m_nClickTime = kClickTimeMin;
    m_nClickArea = kClickAreaMin;
    PlaceSlider(IDC_CLICK_TIME_SLIDER, kClickTimeMin, kClickTimeMax, m_nClickTime);
    PlaceSlider(IDC_CLICK_AREA_SLIDER, kClickAreaMin, kClickAreaMax, m_nClickArea);
  }
  SetDlgItemText(IDC_MODE_HELP, TEXT(""));
  return TRUE;
}

void CTouchSettingsDlg::RefreshControls() {
  SendDlgItemMessageW(m_hWnd, IDC_MODE_DESKTOP, BM_SETCHECK, BST_UNCHECKED, 0);
  SendDlgItemMessageW(m_hWnd, kModeRadios[m_param.MouseMod & MOUSEMOD_TOUCH_MODE_MASK], BM_SETCHECK, BST_CHECKED, 0);
  m_nClickArea = m_param.XInplace;
  m_nClickTime = static_cast<LONG>(m_param.CliDelay);
  PlaceSlider(IDC_CLICK_TIME_SLIDER, kClickTimeMin, kClickTimeMax, m_nClickTime);
  PlaceSlider(IDC_CLICK_AREA_SLIDER, kClickAreaMin, kClickAreaMax, m_nClickArea);
}

// The range first, minimum then maximum, without redraw; then the position, which the slider
// keeps within its range, with redraw.
void CTouchSettingsDlg::PlaceSlider(int id, LONG minimum, LONG maximum, LONG position) {
  SendDlgItemMessageW(m_hWnd, id, TBM_SETRANGEMIN, FALSE, minimum);
  SendDlgItemMessageW(m_hWnd, id, TBM_SETRANGEMAX, FALSE, maximum);
  SendDlgItemMessageW(m_hWnd, id, TBM_SETPOS, TRUE, position);
}

// A record that could not be fetched is not stored: the words the user did not change would be
// stale or unknown, and storing them would overwrite the driver's settings with them.
bool CTouchSettingsDlg::FetchParameters() { return GetDevicePanelParameter(&m_param) != 0; }

void CTouchSettingsDlg::ShowMode(DWORD mode) {
  for (DWORD each = 0; each < 3; ++each)
    SendDlgItemMessageW(m_hWnd, kModeRadios[each], BM_SETCHECK, each == mode ? BST_CHECKED : BST_UNCHECKED, 0);
  SetDlgItemText(IDC_MODE_HELP, kModeHelp[mode]);
}

void CTouchSettingsDlg::StoreMode(DWORD mode) {
  if (!FetchParameters()) return;
  m_param.MouseMod = (m_param.MouseMod & ~MOUSEMOD_TOUCH_MODE_MASK) | mode;
  SetDevicePanelParameter(&m_param);
}

void CTouchSettingsDlg::StoreSound(DWORD sound) {
  if (!FetchParameters()) return;
  m_param.TouSound = sound;
  SetDevicePanelParameter(&m_param);
}

void CTouchSettingsDlg::StoreClickTime(LONG value) {
  if (!FetchParameters()) return;
  m_param.SelDelay = static_cast<DWORD>(value);
  m_param.CliDelay = static_cast<DWORD>(value);
  SetDevicePanelParameter(&m_param);
}

void CTouchSettingsDlg::StoreClickArea(LONG value) {
  if (!FetchParameters()) return;
  m_param.XInplace = value;
  m_param.YInplace = value;
  SetDevicePanelParameter(&m_param);
}

void CTouchSettingsDlg::OnDesktop() {
  ShowMode(TOUCH_MODE_DESKTOP);
  StoreMode(TOUCH_MODE_DESKTOP);
}

void CTouchSettingsDlg::OnDrawing() {
  ShowMode(TOUCH_MODE_DRAWING);
  StoreMode(TOUCH_MODE_DRAWING);
}

void CTouchSettingsDlg::OnButtonMode() {
  ShowMode(TOUCH_MODE_BUTTON);
  StoreMode(TOUCH_MODE_BUTTON);
}

// The help text and the right-click button take clicks without effect.
void CTouchSettingsDlg::OnModeHelp() {}
void CTouchSettingsDlg::OnRightClick() {}

// The sound radios check themselves; only the setting is stored.
void CTouchSettingsDlg::OnNoSound() { StoreSound(0); }
void CTouchSettingsDlg::OnTouchDown() { StoreSound(1); }
void CTouchSettingsDlg::OnTouchDownLift() { StoreSound(2); }

bool CTouchSettingsDlg::StepSlider(int id, LONG step, LONG minimum, LONG maximum, LONG *position) {
  CWnd *slider = GetDlgItem(id);
  if (slider == nullptr) return false;
  LONG value = static_cast<LONG>(slider->SendMessage(TBM_GETPOS)) + step;
  if (value < minimum) value = minimum;
  if (value > maximum) value = maximum;
  *position = value;
  slider->SendMessage(TBM_SETPOS, TRUE, value);
  return true;
}

void CTouchSettingsDlg::OnFast() {
  if (StepSlider(IDC_CLICK_TIME_SLIDER, -kClickTimeStep, kClickTimeMin, kClickTimeMax, &m_nClickTime))
    StoreClickTime(m_nClickTime);
}

void CTouchSettingsDlg::OnSlow() {
  if (StepSlider(IDC_CLICK_TIME_SLIDER, kClickTimeStep, kClickTimeMin, kClickTimeMax, &m_nClickTime))
    StoreClickTime(m_nClickTime);
}

void CTouchSettingsDlg::OnSmall() {
  if (StepSlider(IDC_CLICK_AREA_SLIDER, -kClickAreaStep, kClickAreaMin, kClickAreaMax, &m_nClickArea))
    StoreClickArea(m_nClickArea);
}

void CTouchSettingsDlg::OnLarge() {
  if (StepSlider(IDC_CLICK_AREA_SLIDER, kClickAreaStep, kClickAreaMin, kClickAreaMax, &m_nClickArea))
    StoreClickArea(m_nClickArea);
}

// A click on a slider stores exactly the position it moved to.
void CTouchSettingsDlg::OnClickTimeClick(NMHDR *, LRESULT *pResult) {
  m_nClickTime = static_cast<LONG>(SendDlgItemMessageW(m_hWnd, IDC_CLICK_TIME_SLIDER, TBM_GETPOS, 0, 0));
  StoreClickTime(m_nClickTime);
  *pResult = 0;
}

void CTouchSettingsDlg::OnClickAreaClick(NMHDR *, LRESULT *pResult) {
  m_nClickArea = static_cast<LONG>(SendDlgItemMessageW(m_hWnd, IDC_CLICK_AREA_SLIDER, TBM_GETPOS, 0, 0));
  StoreClickArea(m_nClickArea);
  *pResult = 0;
}

void CTouchSettingsDlg::OnOK() {
  KillTimer(m_nTimerID);
  // "&Start" marks the Desktop radio while the measurement runs; the mark goes with the dialog.
  SendDlgItemMessageW(m_hWnd, IDC_MODE_DESKTOP, BM_SETCHECK, BST_UNCHECKED, 0);
  CDialog::OnOK();
}

void CTouchSettingsDlg::OnClose() { OnOK(); }
