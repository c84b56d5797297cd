// Modal dialogs made from a parsed dialog template: the stand-in's DialogBoxIndirectParamW, for
// callers that hold a platform::DialogTemplate rather than the template's bytes.
#pragma once

#include <windows.h>

#include "platform/dialog_template.h"

namespace platform {

// Creates the dialog and its controls from `dialogTemplate` (dialog units converted with the
// template font's base units), sends WM_INITDIALOG with `initParam` to `dialogProc`, disables
// `owner` and runs the modal loop until EndDialog; then re-enables the owner, destroys the dialog
// and returns EndDialog's result. -1 with the reason in GetLastError when the dialog cannot be made
// (ERROR_CANNOT_FIND_WND_CLASS for a control class the platform lacks), or when a headless script
// fails or runs out while the dialog waits.
INT_PTR DialogBoxFromTemplate(HINSTANCE instance, const DialogTemplate &dialogTemplate, HWND owner, DLGPROC dialogProc,
                              LPARAM initParam);

// The dialog base units (average character width and height in pixels) of a template's font.
struct DialogBaseUnits {
  int cx = 8;
  int cy = 16;
};
DialogBaseUnits BaseUnitsOf(const DialogTemplate &dialogTemplate);

}  // namespace platform
