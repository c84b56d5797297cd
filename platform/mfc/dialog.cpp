// CWnd and CDialog: a modal dialog runs from its template resource through the window manager's
// dialog box, and every message reaches the dialog object's message map; what the map does not
// handle goes to the window manager's default dialog behaviour.
#include <afxwin.h>

#include <map>
#include <memory>
#include <mutex>

#include "platform/dialog_box.h"
#include "platform/dialog_template.h"

const CWnd CWnd::wndTopMost = [] {
  CWnd topmost;
  topmost.m_hWnd = HWND_TOPMOST;
  return topmost;
}();

namespace {

// The objects of the dialogs that are running, by window.
std::mutex objectsMutex;
std::map<HWND, CWnd *> objects;

CWnd *ObjectOf(HWND hwnd) {
  std::lock_guard lock(objectsMutex);
  auto found = objects.find(hwnd);
  return found != objects.end() ? found->second : nullptr;
}

// Wrappers that GetDlgItem hands out, one per child window, kept for the life of the process.
std::mutex wrappersMutex;
std::map<HWND, std::unique_ptr<CWnd>> wrappers;

}  // namespace

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
END_MESSAGE_MAP()

BEGIN_MESSAGE_MAP(CDialog, CWnd)
{WM_COMMAND, 0, IDOK, IDOK, AfxSig_vv, static_cast<AFX_PMSG>(&CDialog::OnOK), nullptr, nullptr, nullptr},
{WM_COMMAND, 0, IDCANCEL, IDCANCEL, AfxSig_vv, static_cast<AFX_PMSG>(&CDialog::OnCancel), nullptr, nullptr, nullptr},
END_MESSAGE_MAP()

CWnd *CWnd::GetDlgItem(int nID) const {
  HWND item = ::GetDlgItem(m_hWnd, nID);
  if (item == nullptr) return nullptr;
  std::lock_guard lock(wrappersMutex);
  std::unique_ptr<CWnd> &wrapper = wrappers[item];
  if (!wrapper) wrapper = std::make_unique<CWnd>();
  wrapper->m_hWnd = item;
  return wrapper.get();
}

BOOL CWnd::SetWindowPos(const CWnd *pWndInsertAfter, int x, int y, int cx, int cy, UINT nFlags) {
  return ::SetWindowPos(m_hWnd, pWndInsertAfter != nullptr ? pWndInsertAfter->m_hWnd : nullptr, x, y, cx, cy, nFlags);
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *pResult) {
  UINT code = 0, id = 0;
  if (message == WM_COMMAND) {
    code = HIWORD(wParam);
    id = LOWORD(wParam);
  } else if (message == WM_NOTIFY && lParam != 0) {
    const NMHDR *header = reinterpret_cast<const NMHDR *>(lParam);
    code = header->code;
    id = static_cast<UINT>(header->idFrom);
  }
  return DispatchToMap(message, code, id, wParam, lParam, pResult);
}

INT_PTR CALLBACK AfxDialogProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto *dialog = reinterpret_cast<CDialog *>(lParam);
    dialog->m_hWnd = hwnd;
    {
      std::lock_guard lock(objectsMutex);
      objects[hwnd] = dialog;
    }
    return dialog->OnInitDialog();
  }
  CWnd *object = ObjectOf(hwnd);
  if (object == nullptr) return FALSE;
  LRESULT result = 0;
  return object->OnWndMsg(message, wParam, lParam, &result) ? TRUE : FALSE;
}

CDialog::CDialog(UINT nIDTemplate, CWnd *pParentWnd) : m_nIDHelp(nIDTemplate), m_pParentWnd(pParentWnd) {}

BOOL CDialog::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *pResult) {
  return CWnd::OnWndMsg(message, wParam, lParam, pResult);
}

INT_PTR CDialog::DoModal() {
  HINSTANCE resources = AfxGetResourceHandle();
  HRSRC found = FindResourceW(reinterpret_cast<HMODULE>(resources), MAKEINTRESOURCEW(m_nIDHelp), RT_DIALOG);
  HGLOBAL loaded = found != nullptr ? LoadResource(reinterpret_cast<HMODULE>(resources), found) : nullptr;
  const void *bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  platform::DialogTemplate dialogTemplate;
  std::string error;
  if (bytes == nullptr ||
      !platform::ParseDialogTemplate(bytes, SizeofResource(reinterpret_cast<HMODULE>(resources), found), &dialogTemplate,
                                     &error))
    return -1;
  // Without a parent, the application's main window owns the dialog (unless it is that window).
  HWND owner = m_pParentWnd != nullptr ? m_pParentWnd->m_hWnd : nullptr;
  CWinApp *app = AfxGetApp();
  if (owner == nullptr && app != nullptr && app->m_pMainWnd != nullptr && app->m_pMainWnd != this)
    owner = app->m_pMainWnd->m_hWnd;
  INT_PTR result = platform::DialogBoxFromTemplate(AfxGetInstanceHandle(), dialogTemplate, owner, AfxDialogProcedure,
                                                   reinterpret_cast<LPARAM>(this));
  {
    std::lock_guard lock(objectsMutex);
    objects.erase(m_hWnd);
  }
  m_hWnd = nullptr;
  return result;
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::DoDataExchange(CDataExchange *) {}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate) {
  CDataExchange exchange;
  exchange.m_bSaveAndValidate = bSaveAndValidate;
  exchange.m_pDlgWnd = this;
  DoDataExchange(&exchange);
  return TRUE;
}

void CDialog::OnOK() {
  if (!UpdateData(TRUE)) return;
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::CenterWindow(CWnd *pAlternateOwner) {
  RECT window{};
  ::GetWindowRect(m_hWnd, &window);
  RECT area{};
  HWND owner = pAlternateOwner != nullptr ? pAlternateOwner->m_hWnd : ::GetParent(m_hWnd);
  if (owner != nullptr) ::GetWindowRect(owner, &area);
  else ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  const int width = window.right - window.left, height = window.bottom - window.top;
  const int left = area.left + (area.right - area.left - width) / 2;
  const int top = area.top + (area.bottom - area.top - height) / 2;
  ::SetWindowPos(m_hWnd, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}
