// The layout of the main dialog's function list: which function buttons the ButShow mask
// selects, and where the group box, those buttons and Quit go, in one column for up to two
// function buttons and in two for three to five. Pure arithmetic on the sizes the dialog has.
#pragma once

#include <vector>

#include <windows.h>

// The function buttons, indexed by their bit in ButShow.
extern const int kFunctionButtonIds[5];

struct ButtonPlacement {
  int id;
  int left, top, width, height;
};

struct FunctionListLayout {
  int frameLeft, frameTop, frameWidth, frameHeight;  // the group box
  std::vector<ButtonPlacement> buttons;              // in list order, Quit last
};

// client*: the dialog's client area; group*: the group box's client area; button*: the client
// area of the first function button as the template made it. Every division truncates, each one
// taken on its own.
FunctionListLayout LayOutFunctionList(int clientWidth, int clientHeight, int groupWidth, int groupHeight,
                                      int buttonWidth, int buttonHeight, DWORD butShow);
