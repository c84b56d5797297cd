// "STATIC" windows. A template names a static's image as a resource ordinal, which reaches
// CreateWindowExW as the text 0xFFFF followed by the ordinal; the static keeps the ordinal and
// shows no text, and keeps the module it was created from, whose resources hold the image.
// STM_SETIMAGE only stores the handle: no rendering draws a replaced image.
#include "control_static.h"

#include "control_state.h"

namespace platform::gwes {
namespace {

struct StaticState {
  std::optional<WORD> ordinal;
  HINSTANCE module = nullptr;
  HANDLE image = nullptr;
};

ControlStates<StaticState> &Statics() {
  static auto *states = new ControlStates<StaticState>;  // outlives static destructors that still destroy windows
  return *states;
}

LRESULT CALLBACK StaticProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: {
      const auto *create = reinterpret_cast<const CREATESTRUCTW *>(lParam);
      StaticState state;
      if (create->lpszName != nullptr && create->lpszName[0] == 0xFFFF) {
        state.ordinal = static_cast<WORD>(create->lpszName[1]);
        state.module = create->hInstance;
        DefWindowProcW(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(u""));
      }
      Statics().Add(hwnd, state);
      return 0;
    }
    case WM_DESTROY:
      Statics().Remove(hwnd);
      return 0;
    case STM_SETIMAGE:
      return reinterpret_cast<LRESULT>(Statics()
                                           .Update(hwnd,
                                                   [&](StaticState &state) {
                                                     HANDLE previous = state.image;
                                                     state.image = reinterpret_cast<HANDLE>(lParam);
                                                     return previous;
                                                   })
                                           .value_or(nullptr));
    case STM_GETIMAGE:
      return reinterpret_cast<LRESULT>(Statics().Get(hwnd).value_or(StaticState{}).image);
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

[[maybe_unused]] const ATOM kStaticClass = [] {
  WNDCLASSW staticClass{};
  staticClass.lpfnWndProc = StaticProcedure;
  staticClass.lpszClassName = u"STATIC";
  return RegisterClassW(&staticClass);
}();

}  // namespace

std::optional<WORD> StaticImageOrdinal(HWND control) {
  auto state = Statics().Get(control);
  return state ? state->ordinal : std::nullopt;
}

HINSTANCE StaticImageModule(HWND control) {
  auto state = Statics().Get(control);
  return state ? state->module : nullptr;
}

}  // namespace platform::gwes
