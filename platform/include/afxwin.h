// The application and dialog framework as the utility sees it: CWinApp, CCmdTarget, CWnd,
// CDialog and static message maps that bind control notifications and window messages to member
// handlers. Implemented by libplatform_mfc on the window manager stand-in.
#pragma once

#include <windows.h>

class CCmdTarget;
class CWnd;
class CDataExchange;

typedef void (CCmdTarget::*AFX_PMSG)(void);

// How a message-map entry's handler is called.
enum AfxSig : UINT_PTR {
  AfxSig_end = 0,
  AfxSig_vv,         // void (void): BN_CLICKED, WM_CLOSE
  AfxSig_lwl,        // LRESULT (WPARAM, LPARAM): ON_MESSAGE
  AfxSig_vNMHDRpl,   // void (NMHDR *, LRESULT *): ON_NOTIFY
  AfxSig_vUINT_PTR,  // void (UINT_PTR): WM_TIMER
};

// One entry of a message map. The handler sits in the field of its signature, so that it is
// called through its own type.
struct AFX_MSGMAP_ENTRY {
  UINT nMessage;  // WM_COMMAND, WM_NOTIFY, or the window message
  UINT nCode;     // notification code (BN_CLICKED, NM_CLICK) or 0
  UINT nID;       // control id, or 0
  UINT nLastID;
  UINT_PTR nSig;
  AFX_PMSG pfn;                                         // AfxSig_vv
  LRESULT (CCmdTarget::*pfnMessage)(WPARAM, LPARAM);    // AfxSig_lwl
  void (CCmdTarget::*pfnNotify)(struct tagNMHDR *, LRESULT *);  // AfxSig_vNMHDRpl
  void (CCmdTarget::*pfnTimer)(UINT_PTR);               // AfxSig_vUINT_PTR
};

struct AFX_MSGMAP {
  const AFX_MSGMAP *(*pfnGetBaseMap)();
  const AFX_MSGMAP_ENTRY *lpEntries;
};

#define DECLARE_MESSAGE_MAP()                   \
 protected:                                     \
  static const AFX_MSGMAP *PASCAL GetThisMessageMap(); \
  const AFX_MSGMAP *GetMessageMap() const override;

#define PASCAL

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                      \
  const AFX_MSGMAP *theClass::GetMessageMap() const { return GetThisMessageMap(); } \
  const AFX_MSGMAP *PASCAL theClass::GetThisMessageMap() {                          \
    typedef theClass ThisClass [[maybe_unused]];                                    \
    typedef baseClass TheBaseClass;                                                 \
    static const AFX_MSGMAP_ENTRY _messageEntries[] = {

#define END_MESSAGE_MAP()                                               \
  { 0, 0, 0, 0, AfxSig_end, nullptr, nullptr, nullptr, nullptr }        \
  }                                                                     \
  ;                                                                     \
  static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &_messageEntries[0]}; \
  return &messageMap;                                                   \
  }

#define ON_BN_CLICKED(id, memberFxn)                                                       \
  {WM_COMMAND, BN_CLICKED, (UINT)(id), (UINT)(id), AfxSig_vv,                              \
   static_cast<AFX_PMSG>(static_cast<void (ThisClass::*)(void)>(&ThisClass::memberFxn)), \
   nullptr, nullptr, nullptr},

#define ON_MESSAGE(message, memberFxn)                                                           \
  {(UINT)(message), 0, 0, 0, AfxSig_lwl, nullptr,                                                \
   static_cast<LRESULT (CCmdTarget::*)(WPARAM, LPARAM)>(                                        \
       static_cast<LRESULT (ThisClass::*)(WPARAM, LPARAM)>(&ThisClass::memberFxn)),             \
   nullptr, nullptr},

#define ON_NOTIFY(wNotifyCode, id, memberFxn)                                                    \
  {WM_NOTIFY, (UINT)(wNotifyCode), (UINT)(id), (UINT)(id), AfxSig_vNMHDRpl, nullptr, nullptr,   \
   static_cast<void (CCmdTarget::*)(NMHDR *, LRESULT *)>(                                       \
       static_cast<void (ThisClass::*)(NMHDR *, LRESULT *)>(&ThisClass::memberFxn)),            \
   nullptr},

#define ON_WM_TIMER()                                                                             \
  {WM_TIMER, 0, 0, 0, AfxSig_vUINT_PTR, nullptr, nullptr, nullptr,                                \
   static_cast<void (CCmdTarget::*)(UINT_PTR)>(static_cast<void (ThisClass::*)(UINT_PTR)>(&ThisClass::OnTimer))},

#define ON_WM_CLOSE()                                                                        \
  {WM_CLOSE, 0, 0, 0, AfxSig_vv,                                                             \
   static_cast<AFX_PMSG>(static_cast<void (ThisClass::*)(void)>(&ThisClass::OnClose)),     \
   nullptr, nullptr, nullptr},

class CCmdTarget {
 public:
  virtual ~CCmdTarget() = default;
  static const AFX_MSGMAP *PASCAL GetThisMessageMap();
  virtual const AFX_MSGMAP *GetMessageMap() const;
  // Finds the entry for a message in this class's map and its bases' and calls it. TRUE when a
  // handler ran; *result takes its result.
  BOOL DispatchToMap(UINT message, UINT code, UINT id, WPARAM wParam, LPARAM lParam, LRESULT *result);
};

class CWnd : public CCmdTarget {
 public:
  CWnd() = default;
  HWND m_hWnd = nullptr;
  HWND GetSafeHwnd() const { return m_hWnd; }
  // Wraps a handle for the duration of the call, as the framework's temporary objects do.
  CWnd *GetDlgItem(int nID) const;
  BOOL ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }
  BOOL EnableWindow(BOOL bEnable = TRUE) { return ::EnableWindow(m_hWnd, bEnable); }
  void MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint = TRUE) {
    ::MoveWindow(m_hWnd, x, y, nWidth, nHeight, bRepaint);
  }
  void GetClientRect(LPRECT lpRect) const { ::GetClientRect(m_hWnd, lpRect); }
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return ::SendMessageW(m_hWnd, message, wParam, lParam);
  }
  BOOL SetWindowPos(const CWnd *pWndInsertAfter, int x, int y, int cx, int cy, UINT nFlags);
  void SetDlgItemText(int nID, LPCWSTR lpszString) { ::SetDlgItemTextW(m_hWnd, nID, lpszString); }
  void CheckRadioButton(int nIDFirstButton, int nIDLastButton, int nIDCheckButton) {
    ::CheckRadioButton(m_hWnd, nIDFirstButton, nIDLastButton, nIDCheckButton);
  }
  UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse, TIMERPROC lpfnTimer) {
    return ::SetTimer(m_hWnd, nIDEvent, nElapse, lpfnTimer);
  }
  BOOL KillTimer(UINT_PTR nIDEvent) { return ::KillTimer(m_hWnd, nIDEvent); }
  int MessageBox(LPCWSTR lpszText, LPCWSTR lpszCaption = nullptr, UINT nType = MB_OK) {
    return ::MessageBoxW(m_hWnd, lpszText, lpszCaption, nType);
  }
  static const CWnd wndTopMost;

 protected:
  virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *pResult);
  friend INT_PTR CALLBACK AfxDialogProcedure(HWND, UINT, WPARAM, LPARAM);
  DECLARE_MESSAGE_MAP()
};

class CDataExchange {
 public:
  BOOL m_bSaveAndValidate = FALSE;
  CWnd *m_pDlgWnd = nullptr;
};

class CDialog : public CWnd {
 public:
  explicit CDialog(UINT nIDTemplate, CWnd *pParentWnd = nullptr);
  virtual INT_PTR DoModal();
  virtual BOOL OnInitDialog();
  void EndDialog(int nResult) { ::EndDialog(m_hWnd, nResult); }
  BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
  void CenterWindow(CWnd *pAlternateOwner = nullptr);

 protected:
  virtual void DoDataExchange(CDataExchange *pDX);
  virtual void OnOK();
  virtual void OnCancel();
  BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *pResult) override;
  UINT m_nIDHelp;
  CWnd *m_pParentWnd;
  DECLARE_MESSAGE_MAP()
};

class CWinApp : public CCmdTarget {
 public:
  explicit CWinApp(LPCWSTR lpszAppName = nullptr);
  ~CWinApp() override;
  virtual BOOL InitInstance();
  virtual int ExitInstance();
  CWnd *m_pMainWnd = nullptr;
  HINSTANCE m_hInstance = nullptr;
  LPCWSTR m_pszAppName = nullptr;
  LPWSTR m_lpCmdLine = nullptr;  // the program's own arguments, separated by spaces; never null once started
  DECLARE_MESSAGE_MAP()
};

CWinApp *AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
