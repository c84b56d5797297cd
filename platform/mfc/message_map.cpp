// Message maps: each class's static table of entries, searched from the most derived class to its
// bases, and the call of the handler an entry holds, through its own signature.
#include <afxwin.h>

const AFX_MSGMAP *PASCAL CCmdTarget::GetThisMessageMap() {
  static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, 0, AfxSig_end, nullptr, nullptr, nullptr, nullptr}};
  static const AFX_MSGMAP map = {nullptr, &entries[0]};
  return &map;
}

const AFX_MSGMAP *CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

namespace {

bool Matches(const AFX_MSGMAP_ENTRY &entry, UINT message, UINT code, UINT id) {
  if (entry.nMessage != message) return false;
  if (message == WM_COMMAND || message == WM_NOTIFY) return entry.nCode == code && id >= entry.nID && id <= entry.nLastID;
  return true;
}

}  // namespace

BOOL CCmdTarget::DispatchToMap(UINT message, UINT code, UINT id, WPARAM wParam, LPARAM lParam, LRESULT *result) {
  for (const AFX_MSGMAP *map = GetMessageMap(); map != nullptr;
       map = map->pfnGetBaseMap != nullptr ? map->pfnGetBaseMap() : nullptr) {
    for (const AFX_MSGMAP_ENTRY *entry = map->lpEntries; entry->nSig != AfxSig_end; ++entry) {
      if (!Matches(*entry, message, code, id)) continue;
      LRESULT value = 0;
      switch (entry->nSig) {
        case AfxSig_vv:
          (this->*entry->pfn)();
          break;
        case AfxSig_lwl:
          value = (this->*entry->pfnMessage)(wParam, lParam);
          break;
        case AfxSig_vNMHDRpl:
          (this->*entry->pfnNotify)(reinterpret_cast<NMHDR *>(lParam), &value);
          break;
        case AfxSig_vUINT_PTR:
          (this->*entry->pfnTimer)(static_cast<UINT_PTR>(wParam));
          break;
        default:
          continue;
      }
      if (result != nullptr) *result = value;
      return TRUE;
    }
  }
  return FALSE;
}
