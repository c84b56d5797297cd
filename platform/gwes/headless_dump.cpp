// The dump of the headless renderer: the calling thread's windows as an indented tree, each with
// what a user would see of it (class, id, text, rectangle, visibility, enabled state, check mark,
// trackbar range and position, static image); under a window with a caption, its caption bar, its
// boxes and its client area in screen coordinates, so that a script knows where to touch them. A
// message box the script is to answer follows, with its rectangle and caption as a window's.
#include <mutex>

#include "control_static.h"
#include "headless_driver.h"
#include "message_box.h"
#include "platform/headless.h"
#include "platform/text.h"
#include "window_drawing.h"
#include "window_frame.h"
#include "window_table.h"
#include "window_thread.h"

namespace platform::gwes {
namespace {

bool HasCheck(const Window &window) {
  DWORD type = window.style & BS_TYPEMASK;
  return EqualsIgnoreCase(window.className, u"BUTTON") &&
         (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON);
}

std::string Rectangle(const RECT &rect) {
  return "(" + std::to_string(rect.left) + "," + std::to_string(rect.top) + ")-(" + std::to_string(rect.right) + "," +
         std::to_string(rect.bottom) + ")";
}

// The caption lines of a top-level window of these styles at `rect` on the screen.
std::string CaptionLines(DWORD style, DWORD exStyle, const RECT &rect, const std::u16string &text,
                         const std::string &indent) {
  if (!HasCaption(style)) return "";
  CaptionLayout caption = CaptionOf(style, exStyle, static_cast<int>(rect.right - rect.left));
  auto onScreen = [&](const RECT &part) {
    return Rectangle(RECT{part.left + rect.left, part.top + rect.top, part.right + rect.left, part.bottom + rect.top});
  };
  std::string lines = indent + "caption " + Quoted(text) + " " + onScreen(caption.bar) + "\n";
  if (caption.ok.right > caption.ok.left) lines += indent + "caption ok " + onScreen(caption.ok) + "\n";
  if (caption.close.right > caption.close.left) lines += indent + "caption close " + onScreen(caption.close) + "\n";
  POINT offset = ClientOffset(style);
  lines += indent + "client " + Rectangle(RECT{rect.left + offset.x, rect.top + offset.y, rect.right, rect.bottom});
  return lines + "\n";
}

void DumpWindow(const WindowPtr &window, int depth, std::string *out) {
  RECT rect;
  bool visible, enabled, topmost;
  int id;
  std::u16string text;
  {
    std::lock_guard lock(window->stateMutex);
    rect = window->rect;
    visible = window->visible;
    enabled = window->enabled;
    topmost = window->topmost;
    id = window->id;
    text = window->name;
  }
  std::string line(static_cast<size_t>(depth) * 2, ' ');
  line += ToUtf8(window->className) + " id=" + std::to_string(id) + " " + Quoted(text) + " " + Rectangle(rect) +
          (visible ? " visible" : " hidden") + (enabled ? " enabled" : " disabled");
  if (topmost) line += " topmost";
  HWND hwnd = window->hwnd;
  if (HasCheck(*window)) line += SendMessageW(hwnd, BM_GETCHECK, 0, 0) == BST_CHECKED ? " checked" : " unchecked";
  if (EqualsIgnoreCase(window->className, TRACKBAR_CLASSW)) {
    line += " range=" + std::to_string(SendMessageW(hwnd, TBM_GETRANGEMIN, 0, 0)) + ".." +
            std::to_string(SendMessageW(hwnd, TBM_GETRANGEMAX, 0, 0)) +
            " pos=" + std::to_string(SendMessageW(hwnd, TBM_GETPOS, 0, 0));
  }
  if (EqualsIgnoreCase(window->className, u"STATIC")) {
    DWORD type = window->style & SS_TYPEMASK;
    if (auto ordinal = StaticImageOrdinal(hwnd); ordinal && (type == SS_BITMAP || type == SS_ICON))
      line += (type == SS_BITMAP ? " bitmap=" : " icon=") + std::to_string(*ordinal);
    if (type == SS_BLACKRECT || type == SS_GRAYRECT || type == SS_WHITERECT)
      line += type == SS_BLACKRECT ? " fill=black" : type == SS_GRAYRECT ? " fill=gray" : " fill=white";
  }
  *out += line + "\n";
  const std::string indent(static_cast<size_t>(depth + 1) * 2, ' ');
  *out += CaptionLines(window->style, window->exStyle, rect, text, indent);
  for (const Figure &figure : FiguresOf(hwnd)) {
    const RECT &at = figure.at;
    *out += indent + (figure.kind == Figure::Kind::kLine ? "line (" : "ellipse (") + std::to_string(at.left) + "," +
            std::to_string(at.top) + ")-(" + std::to_string(at.right) + "," + std::to_string(at.bottom) + ")\n";
  }
  for (const WindowPtr &child : ChildWindows(hwnd)) DumpWindow(child, depth + 1, out);
}

}  // namespace

std::string Quoted(std::u16string_view text) {
  std::string quoted = "\"";
  for (char c : ToUtf8(text)) {
    if (c == '\\' || c == '"') {
      quoted += '\\';
      quoted += c;
    } else if (c == '\n') {
      quoted += "\\n";
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string QuotedWindowText(HWND hwnd) {
  WindowPtr window = LookupWindow(hwnd);
  if (!window) return "\"\"";
  std::lock_guard lock(window->stateMutex);
  return Quoted(window->name);
}

}  // namespace platform::gwes

std::string platform::headless::DumpWindows() {
  using namespace platform::gwes;
  auto self = CurrentThreadQueue();
  std::string out;
  for (const WindowPtr &window : ChildWindows(nullptr))
    if (window->queue == self) DumpWindow(window, 0, &out);
  return out;
}

std::string platform::gwes::DumpMessageBox(std::u16string_view caption, std::u16string_view text, UINT type) {
  const RECT rect = MessageBoxRect(caption, text, type);
  return "message box " + Quoted(caption) + " " + Rectangle(rect) + "\n" +
         CaptionLines(kMessageBoxStyle, 0, rect, std::u16string(caption), "  ");
}
