// CWinApp: the one application object, and the handles the framework hands out.
#include <afxwin.h>

namespace {

CWinApp *application = nullptr;

}  // namespace

BEGIN_MESSAGE_MAP(CWinApp, CCmdTarget)
END_MESSAGE_MAP()

CWinApp::CWinApp(LPCWSTR lpszAppName) : m_pszAppName(lpszAppName) { application = this; }

CWinApp::~CWinApp() {
  if (application == this) application = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::ExitInstance() { return 0; }

CWinApp *AfxGetApp() { return application; }

HINSTANCE AfxGetInstanceHandle() {
  return application != nullptr && application->m_hInstance != nullptr
             ? application->m_hInstance
             : reinterpret_cast<HINSTANCE>(GetModuleHandleW(nullptr));
}

HINSTANCE AfxGetResourceHandle() { return AfxGetInstanceHandle(); }
