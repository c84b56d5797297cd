// CTouchSettingsDlg: the Touch Settings dialog. The user picks the touch mode, the touch sound, the
// click response time and the click area; each change is stored at once through the calibration
// library, on a record fetched afresh just before. The dialog also hosts the report-rate
// measurement (report_rate_measurement.cpp).
#pragma once

#include <afxwin.h>

#include "calibkit.h"

class CTouchSettingsDlg : public CDialog {
 public:
  explicit CTouchSettingsDlg(CWnd *pParent = nullptr);
  ~CTouchSettingsDlg() override = default;

  LONG m_nClickTime;   // the click-response-time slider's last position
  LONG m_nClickArea;   // the click-area slider's last position
  UINT m_nTimerID;     // the measurement timer: 1 until "&Start", then what SetTimer returned
  tagParameter m_param;  // the working copy of the panel parameters

 protected:
  void DoDataExchange(CDataExchange *pDX) override;
  BOOL OnInitDialog() override;
  void OnOK() override;

  void RefreshControls();

  void OnDesktop();
  void OnDrawing();
  void OnButtonMode();
  void OnModeHelp();
  void OnRightClick();
  void OnNoSound();
  void OnTouchDown();
  void OnTouchDownLift();
  void OnFast();
  void OnSlow();
  void OnClickTimeClick(NMHDR *pNMHDR, LRESULT *pResult);
  void OnSmall();
  void OnLarge();
  void OnStart();
  void OnClickAreaClick(NMHDR *pNMHDR, LRESULT *pResult);
  void OnTimer(UINT_PTR nIDEvent);
  void OnClose();

  DECLARE_MESSAGE_MAP()

 private:
  // Fetches the current record into m_param; false, with m_param as it was, when the library
  // could not read it.
  bool FetchParameters();
  void PlaceSlider(int id, LONG minimum, LONG maximum, LONG position);
  void ShowMode(DWORD mode);
  void StoreMode(DWORD mode);
  void StoreSound(DWORD sound);
  void StoreClickTime(LONG value);
  void StoreClickArea(LONG value);
  // Moves slider `id` by `step`, kept within minimum..maximum; the new position, or nothing when
  // the slider cannot be found.
  bool StepSlider(int id, LONG step, LONG minimum, LONG maximum, LONG *position);
};
