// The function-list layout. The group box keeps its size, its left edge on the dialog's vertical
// centre line, centred vertically; the rows start two gaps below its top and are one gap apart,
// the gap being the group box's distance from the dialog's top.
#include "function_list_layout.h"

#include "resource.h"

const int kFunctionButtonIds[5] = {IDC_CALIBRATE_2PT, IDC_CALIBRATE_5PT, IDC_CALIBRATE_25PT, IDC_DRAW_TEST,
                                   IDC_TOUCH_SETTING};

FunctionListLayout LayOutFunctionList(int clientWidth, int clientHeight, int groupWidth, int groupHeight,
                                      int buttonWidth, int buttonHeight, DWORD butShow) {
  std::vector<int> listed;
  for (int bit = 0; bit < 5; ++bit)
    if ((butShow & (1u << bit)) != 0) listed.push_back(kFunctionButtonIds[bit]);
  const int count = static_cast<int>(listed.size());

  const int fl = clientWidth / 2;
  const int ft = clientHeight / 2 - groupHeight / 2;
  const int fr = groupWidth + fl;
  auto rowTop = [&](int row) { return 3 * ft + row * (buttonHeight + ft); };

  FunctionListLayout layout{fl, ft, groupWidth, groupHeight, {}};
  auto place = [&](int id, int left, int row) { layout.buttons.push_back({id, left, rowTop(row), buttonWidth, buttonHeight}); };
  if (count <= 2) {
    const int x = (fl + fr) / 2 - buttonWidth / 2;
    for (int p = 0; p < count; ++p) place(listed[static_cast<size_t>(p)], x, p);
    place(IDC_QUIT, x, 2);
  } else {
    const int left = (3 * fl) / 4 + fr / 4 + fl / 30 - buttonWidth / 2;
    const int right = (3 * fr) / 4 + fl / 4 - buttonWidth / 2;
    for (int p = 0; p < count; ++p) place(listed[static_cast<size_t>(p)], p % 2 == 0 ? left : right, p / 2);
    place(IDC_QUIT, right, 2);
  }
  return layout;
}
