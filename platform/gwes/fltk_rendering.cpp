// The FLTK rendering of modal dialogs on X11: each dialog's window model (its child windows'
// rectangles, texts, visibility, enabled state, check marks, pushed looks, trackbar ranges and
// positions, the keyboard focus) is painted with FLTK and brought in step before every wait. The
// rendering decides nothing: the mouse's presses, moves and releases go to the window system as
// a touch's do, and the keys to the dialog's keyboard, which decide what they do. No window
// manager decorates the windows: a window's caption is drawn here, as the device's window system
// draws it, so a desktop and a bare display look the same.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Slider.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "control_state.h"
#include "control_static.h"
#include "control_trackbar.h"
#include "dialog_keys.h"
#include "display_monitor.h"
#include "fltk_driver.h"
#include "platform/fltk_display.h"
#include "platform/text.h"
#include "resource_image.h"
#include "screen_size.h"
#include "window_drawing.h"
#include "window_frame.h"
#include "window_input.h"
#include "window_table.h"

namespace platform::gwes {
namespace {

// FLTK may be used only from the thread that opened the display: dialogs of other threads keep
// the loop without a screen. The maps below belong to that thread.
std::atomic<std::thread::id> displayThread{};

// A dialog's window turn-to-turn waits at most this long, so that messages posted by other threads
// (real-clock timers among them) are handled promptly.
constexpr double kTurnSeconds = 0.02;

enum class Widget { kPush, kRadio, kCheck, kGroupBox, kText, kImage, kFill, kTrackbar, kOther };

// An image static's picture: the decoded resource, and a copy scaled to fit the control, made
// again whenever the control's size changes. FLTK images only borrow their pixels.
struct Picture {
  bool fills = false;  // a bitmap fills its static; an icon keeps its proportions
  RgbaImage pixels;
  std::unique_ptr<Fl_RGB_Image> full;
  std::unique_ptr<Fl_Image> fitted;
};

// What the user did, handed to the window system once FLTK's event handling has returned: a key
// may run the dialog's procedure, which may end the dialog or open another inside FLTK's handler.
struct Input {
  enum class Kind { kPointer, kKey, kClose } kind = Kind::kPointer;
  HWND top = nullptr;  // the dialog whose window it came to
  DWORD flags = 0;     // kPointer: mouse_event's flags, at the screen point `at`
  POINT at{};
  UINT key = 0;  // kKey: the virtual key, with Shift held or not
  bool shift = false;
};

std::vector<Input> &Pending() {
  static auto *pending = new std::vector<Input>;
  return *pending;
}

// An FLTK widget that only paints: it takes no event, so that FLTK decides no click, and shows
// the keyboard focus when the model gives it the focus.
struct FocusMark {
  bool focused = false;
};

template <typename Base>
class Painted : public Base, public FocusMark {
 public:
  Painted() : Base(0, 0, 1, 1) { this->clear_visible_focus(); }

 private:
  int handle(int) override { return 0; }
  void draw() override {
    Base::draw();
    if (!focused) return;
    // A dotted frame just inside the control, as FLTK marks its own focus.
    fl_color(fl_contrast(FL_BLACK, this->color()));
    fl_line_style(FL_DOT);
    fl_rect(this->x() + 3, this->y() + 3, this->w() - 6, this->h() - 6);
    fl_line_style(0);
  }
};

// What the program drew on the dialog, beneath its controls.
class Canvas : public Fl_Widget {
 public:
  Canvas() : Fl_Widget(0, 0, 1, 1) {}
  std::vector<Figure> figures;
  size_t generation = 0;

 private:
  int handle(int) override { return 0; }

  void draw() override {
    fl_color(FL_BLACK);
    fl_line_style(FL_SOLID, 2);
    for (const Figure &figure : figures) {
      const RECT &at = figure.at;
      if (figure.kind == Figure::Kind::kLine) {
        fl_line(x() + at.left, y() + at.top, x() + at.right, y() + at.bottom);
      } else {
        fl_pie(x() + at.left, y() + at.top, at.right - at.left, at.bottom - at.top, 0, 360);
      }
    }
    fl_line_style(0);
  }
};

// A window's caption bar: its text, and the OK and close boxes it has, the one a press holds
// down drawn pushed.
class CaptionBar : public Fl_Widget {
 public:
  CaptionBar(DWORD style, DWORD exStyle) : Fl_Widget(0, 0, 1, kCaptionHeight), style_(style), exStyle_(exStyle) {}
  FramePart held = FramePart::kClient;

 private:
  int handle(int) override { return 0; }

  void DrawBox(const RECT &rect, FramePart part, const char *symbol) {
    if (rect.right <= rect.left) return;
    constexpr int kMargin = 3;
    const int bx = x() + rect.left + kMargin, by = y() + rect.top + kMargin;
    const int bw = rect.right - rect.left - 2 * kMargin, bh = rect.bottom - rect.top - 2 * kMargin;
    fl_draw_box(held == part ? FL_DOWN_BOX : FL_UP_BOX, bx, by, bw, bh, FL_BACKGROUND_COLOR);
    fl_color(FL_BLACK);
    if (part == FramePart::kCloseBox) {
      // The close box's cross, drawn rather than written so that it is the same in every face.
      fl_line_style(FL_SOLID, 2);
      fl_line(bx + 5, by + 5, bx + bw - 6, by + bh - 6);
      fl_line(bx + bw - 6, by + 5, bx + 5, by + bh - 6);
      fl_line_style(0);
    } else {
      fl_font(FL_HELVETICA_BOLD, 10);
      fl_draw(symbol, bx, by, bw, bh, FL_ALIGN_CENTER);
    }
  }

  void draw() override {
    CaptionLayout layout = CaptionOf(style_, exStyle_, w());
    fl_rectf(x(), y(), w(), h(), fl_rgb_color(0, 0, 128));
    // The text ends where the first box begins.
    LONG textRight = w();
    if (layout.close.right > layout.close.left) textRight = layout.close.left;
    if (layout.ok.right > layout.ok.left) textRight = layout.ok.left;
    fl_color(FL_WHITE);
    fl_font(FL_HELVETICA_BOLD, 13);
    fl_push_clip(x(), y(), static_cast<int>(textRight), h());
    fl_draw(label() != nullptr ? label() : "", x() + 6, y(), static_cast<int>(textRight) - 6, h(),
            FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
    fl_pop_clip();
    DrawBox(layout.ok, FramePart::kOkBox, "OK");
    DrawBox(layout.close, FramePart::kCloseBox, nullptr);
  }

  DWORD style_;
  DWORD exStyle_;
};

// The virtual key of an FLTK key the dialogs answer; 0 for others.
UINT VirtualKeyOf(int key) {
  switch (key) {
    case FL_Escape:
      return VK_ESCAPE;
    case FL_Enter:
    case FL_KP_Enter:
      return VK_RETURN;
    case FL_Tab:
      return VK_TAB;
    case ' ':
      return VK_SPACE;
    case FL_Left:
      return VK_LEFT;
    case FL_Up:
      return VK_UP;
    case FL_Right:
      return VK_RIGHT;
    case FL_Down:
      return VK_DOWN;
    default:
      if (key >= 'a' && key <= 'z') return static_cast<UINT>(key - 'a' + 'A');
      if (key >= '0' && key <= '9') return static_cast<UINT>(key);
      return 0;
  }
}

// The property a dialog's X11 window carries once it is painted: 1 while the dialog takes input,
// 0 while it does not (disabled under its own modal dialog or message box). A test, or any X
// client, acts on the window once it reads 1.
constexpr char kTakesInputProperty[] = "_GWES_TAKES_INPUT";

// A dialog's window: it takes every mouse event and key itself, so that none reaches a widget,
// and hands them on as they are. A window with a caption is outlined, so that a box over a dialog
// of the same grey stands apart.
class DialogWindow : public Fl_Double_Window {
 public:
  DialogWindow(HWND dialog, bool outlined, int x, int y, int w, int h)
      : Fl_Double_Window(x, y, w, h), dialog_(dialog), outlined_(outlined) {}

  // Whether the window holds the X keyboard focus.
  bool HasKeyboard() const { return Fl::focus() == this; }

  void TakesInput(bool takes) {
    takes_ = takes;
    Publish();
  }

 private:
  void draw() override {
    Fl_Double_Window::draw();
    if (outlined_) {
      fl_color(fl_rgb_color(0, 0, 128));
      fl_rect(0, 0, w(), h());
    }
    painted_ = true;
    Publish();
  }

  void Publish() {
    if (!shown() || !painted_) return;
    const long value = takes_ ? 1 : 0;
    if (published_ == value) return;
    published_ = value;
    XChangeProperty(fl_display, fl_xid(this), XInternAtom(fl_display, kTakesInputProperty, False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char *>(&value), 1);
    XFlush(fl_display);
  }

  int handle(int event) override {
    switch (event) {
      case FL_ENTER:
      case FL_LEAVE:
        return 1;  // so that moves without a button arrive too
      case FL_FOCUS:
      case FL_UNFOCUS:
        return 1;  // the window, not a widget, takes the keyboard
      case FL_PUSH:
        if (Fl::event_button() == FL_LEFT_MOUSE) return Forward(MOUSEEVENTF_MOVE | MOUSEEVENTF_LEFTDOWN);
        if (Fl::event_button() == FL_RIGHT_MOUSE) return Forward(MOUSEEVENTF_MOVE | MOUSEEVENTF_RIGHTDOWN);
        return 1;
      case FL_DRAG:
      case FL_MOVE:
        return Forward(MOUSEEVENTF_MOVE);
      case FL_RELEASE:
        // FLTK holds back the moves it reads in one go and hands on only the last, with the
        // release: the move comes first, with the button still down.
        if (Fl::event_button() == FL_LEFT_MOUSE) return Forward(MOUSEEVENTF_MOVE | MOUSEEVENTF_LEFTUP);
        if (Fl::event_button() == FL_RIGHT_MOUSE) return Forward(MOUSEEVENTF_MOVE | MOUSEEVENTF_RIGHTUP);
        return 1;
      case FL_KEYBOARD:
      case FL_SHORTCUT: {
        const UINT key = (Fl::event_state() & (FL_CTRL | FL_META)) != 0 ? 0 : VirtualKeyOf(Fl::event_key());
        if (key == 0) return 0;
        Input input{Input::Kind::kKey, dialog_};
        input.key = key;
        input.shift = (Fl::event_state() & FL_SHIFT) != 0;
        Pending().push_back(input);
        return 1;
      }
      default:
        return Fl_Double_Window::handle(event);
    }
  }

  // The event's point on the screen: the window stands where its model's rectangle says.
  int Forward(DWORD flags) {
    WindowPtr window = LookupWindow(dialog_);
    if (!window) return 1;
    RECT rect;
    {
      std::lock_guard lock(window->stateMutex);
      rect = window->rect;
    }
    Input input{Input::Kind::kPointer, dialog_, flags};
    input.at = POINT{rect.left + Fl::event_x(), rect.top + Fl::event_y()};
    Pending().push_back(input);
    return 1;
  }

  HWND dialog_;
  bool outlined_;
  bool takes_ = false;
  bool painted_ = false;
  long published_ = -1;  // the property's value, -1 before it is first set
};

struct Control {
  Widget kind = Widget::kOther;
  Fl_Widget *widget = nullptr;       // owned by the dialog's FLTK window
  FocusMark *mark = nullptr;         // the same widget's focus mark
  std::shared_ptr<Picture> picture;  // an image static's, when its resource could be read
};

struct Shown {
  int labelSize = 0;  // the dialog's character height, in pixels
  std::unique_ptr<DialogWindow> window;
  CaptionBar *caption = nullptr;  // owned by the window, for a window with a caption
  Canvas *canvas = nullptr;  // owned by the window
  std::map<HWND, Control> controls;
};

std::map<HWND, Shown> &Dialogs() {
  static auto *dialogs = new std::map<HWND, Shown>;  // never destroyed: FLTK may outlive static destructors
  return *dialogs;
}

// FLTK calls a window's callback for a window manager's close request (the window takes the
// Escape key itself).
void OnWindow(Fl_Widget *, void *data) { Pending().push_back({Input::Kind::kClose, static_cast<HWND>(data)}); }

// A window text as an FLTK label: UTF-8, with '@' doubled, for FLTK would read it as a symbol.
std::string LabelOf(std::u16string_view text) {
  std::string label;
  for (char c : ToUtf8(text)) {
    label += c;
    if (c == '@') label += '@';
  }
  return label;
}

void SetLabel(Fl_Widget *widget, const std::string &label) {
  const char *current = widget->label();
  if (current == nullptr ? !label.empty() : label != current) widget->copy_label(label.c_str());
}

Widget KindOf(const Window &window) {
  if (EqualsIgnoreCase(window.className, TRACKBAR_CLASSW)) return Widget::kTrackbar;
  if (EqualsIgnoreCase(window.className, u"STATIC")) {
    DWORD type = window.style & SS_TYPEMASK;
    if (type == SS_BLACKRECT || type == SS_GRAYRECT || type == SS_WHITERECT) return Widget::kFill;
    return type == SS_BITMAP || type == SS_ICON ? Widget::kImage : Widget::kText;
  }
  if (!EqualsIgnoreCase(window.className, u"BUTTON")) return Widget::kOther;
  switch (window.style & BS_TYPEMASK) {
    case BS_GROUPBOX:
      return Widget::kGroupBox;
    case BS_RADIOBUTTON:
    case BS_AUTORADIOBUTTON:
      return Widget::kRadio;
    case BS_CHECKBOX:
    case BS_AUTOCHECKBOX:
      return Widget::kCheck;
    default:
      return Widget::kPush;
  }
}

// The image a static was created with, from its module's resources; an icon at the image size
// nearest the control's width. Nothing when it cannot be read: the static then shows its frame.
std::shared_ptr<Picture> PictureOf(const Window &window) {
  std::optional<WORD> ordinal = StaticImageOrdinal(window.hwnd);
  if (!ordinal) return nullptr;
  HINSTANCE module = StaticImageModule(window.hwnd);
  std::optional<RgbaImage> image;
  if ((window.style & SS_TYPEMASK) == SS_ICON) {
    std::lock_guard lock(window.stateMutex);
    image = LoadIconResource(module, *ordinal, static_cast<int>(window.rect.right - window.rect.left));
  } else {
    image = LoadBitmapResource(module, *ordinal);
  }
  if (!image) return nullptr;
  auto picture = std::make_shared<Picture>();
  picture->fills = (window.style & SS_TYPEMASK) == SS_BITMAP;
  picture->pixels = std::move(*image);
  picture->full = std::make_unique<Fl_RGB_Image>(picture->pixels.pixels.data(), picture->pixels.width,
                                                 picture->pixels.height, 4);
  return picture;
}

// Shows the picture inside the control: a bitmap scaled to fill the control's rectangle, for it is
// drawn for the place it has; an icon whole, scaled down keeping its proportions when it is larger
// than the control, and centred.
void FitPicture(Fl_Widget *widget, Picture &picture) {
  const int width = picture.pixels.width;
  const int height = picture.pixels.height;
  double scale = std::min({1.0, static_cast<double>(widget->w()) / width, static_cast<double>(widget->h()) / height});
  int w = picture.fills ? widget->w() : std::max(1, static_cast<int>(width * scale));
  int h = picture.fills ? widget->h() : std::max(1, static_cast<int>(height * scale));
  if (picture.fitted && picture.fitted->w() == w && picture.fitted->h() == h) return;
  picture.fitted.reset(w == width && h == height ? picture.full->copy() : picture.full->copy(w, h));
  widget->image(picture.fitted.get());
}

template <typename Base>
Painted<Base> *Paint(Control *control) {
  auto *widget = new Painted<Base>;
  control->widget = widget;
  control->mark = widget;
  return widget;
}

// Makes the widget that paints a control of kind `kind`.
void MakeWidget(Control *control, const Window &window, int labelSize) {
  switch (control->kind) {
    case Widget::kPush:
      Paint<Fl_Button>(control);
      break;
    case Widget::kRadio:
      Paint<Fl_Round_Button>(control);
      break;
    case Widget::kCheck:
      Paint<Fl_Check_Button>(control);
      break;
    case Widget::kGroupBox:
      Paint<Fl_Box>(control)->box(FL_ENGRAVED_FRAME);
      control->widget->align(FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE);
      break;
    case Widget::kImage:
      Paint<Fl_Box>(control)->align(FL_ALIGN_CENTER | FL_ALIGN_INSIDE);
      break;
    case Widget::kFill: {
      DWORD type = window.style & SS_TYPEMASK;
      Paint<Fl_Box>(control)->box(FL_FLAT_BOX);
      control->widget->color(type == SS_BLACKRECT ? FL_BLACK : type == SS_GRAYRECT ? FL_DARK3 : FL_WHITE);
      break;
    }
    case Widget::kTrackbar:
      Paint<Fl_Slider>(control)->type(FL_HOR_NICE_SLIDER);
      break;
    case Widget::kText:
    case Widget::kOther: {
      DWORD type = window.style & SS_TYPEMASK;
      Fl_Align across = type == SS_CENTER ? FL_ALIGN_CENTER : type == SS_RIGHT ? FL_ALIGN_RIGHT : FL_ALIGN_LEFT;
      Paint<Fl_Box>(control)->align(across | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
      break;
    }
  }
  // FLTK's faces run wider than the model's (a character half as wide as it is high), so the text
  // is drawn a little smaller than the character height, to fit the rectangles the layout gives.
  control->widget->labelsize(labelSize * 5 / 6);
}

struct Model {
  std::u16string text;
  RECT rect{};
  bool visible = false;
  bool enabled = true;
};

Model ModelOf(const Window &window) {
  std::lock_guard lock(window.stateMutex);
  return Model{window.name, window.rect, window.visible, window.enabled};
}

// Puts a widget at `rect`, moved by `offset`: a control's rectangle is in its dialog's client area,
// which starts below the caption.
void Place(Fl_Widget *widget, const RECT &rect, POINT offset = {0, 0}) {
  int w = std::max(1, static_cast<int>(rect.right - rect.left));
  int h = std::max(1, static_cast<int>(rect.bottom - rect.top));
  int x = static_cast<int>(rect.left + offset.x), y = static_cast<int>(rect.top + offset.y);
  if (widget->x() != x || widget->y() != y || widget->w() != w || widget->h() != h) widget->resize(x, y, w, h);
}

// Brings a control's widget in step with its model; `focused` when it has the keyboard focus of a
// window that holds the keyboard.
void SyncControl(const Window &window, const Control &control, POINT offset, bool focused) {
  Model model = ModelOf(window);
  Fl_Widget *widget = control.widget;
  Place(widget, model.rect, offset);
  if (control.kind != Widget::kImage && control.kind != Widget::kTrackbar && control.kind != Widget::kFill)
    SetLabel(widget, LabelOf(model.text));
  if (control.picture) FitPicture(widget, *control.picture);
  if (control.kind == Widget::kPush || control.kind == Widget::kRadio || control.kind == Widget::kCheck) {
    auto *button = static_cast<Fl_Button *>(widget);
    const auto state = static_cast<WPARAM>(SendMessageW(window.hwnd, BM_GETSTATE, 0, 0));
    const bool checked = (state & BST_CHECKED) != 0, pushed = (state & BST_PUSHED) != 0;
    // A push button held down shows pushed; a radio button or check box held down shows the mark
    // the click would give, as FLTK's own buttons show a press.
    const char value = (control.kind == Widget::kPush ? pushed : checked != pushed) ? 1 : 0;
    if (button->value() != value) button->value(value);
  }
  if (control.kind == Widget::kTrackbar) {
    auto *slider = static_cast<Fl_Slider *>(widget);
    auto low = static_cast<double>(SendMessageW(window.hwnd, TBM_GETRANGEMIN, 0, 0));
    auto high = static_cast<double>(SendMessageW(window.hwnd, TBM_GETRANGEMAX, 0, 0));
    auto position = static_cast<double>(SendMessageW(window.hwnd, TBM_GETPOS, 0, 0));
    if (slider->minimum() != low || slider->maximum() != high) slider->bounds(low, high);
    if (slider->value() != position) slider->value(position);
  }
  control.mark->focused = focused;
  if (model.enabled != (widget->active() != 0)) model.enabled ? widget->activate() : widget->deactivate();
  if (model.visible != (widget->visible() != 0)) model.visible ? widget->show() : widget->hide();
}

void Sync(HWND dialog, Shown &shown) {
  WindowPtr window = LookupWindow(dialog);
  if (!window) return;
  Model model = ModelOf(*window);
  // The device's screen may be one monitor of the X screen.
  const POINT origin = ScreenOrigin();
  if (!shown.window) {
    int w = std::max(1, static_cast<int>(model.rect.right - model.rect.left));
    int h = std::max(1, static_cast<int>(model.rect.bottom - model.rect.top));
    shown.window = std::make_unique<DialogWindow>(dialog, HasCaption(window->style), model.rect.left + origin.x,
                                                  model.rect.top + origin.y, w, h);
    shown.window->end();
    shown.window->callback(OnWindow, dialog);
    shown.window->border(0);
    shown.canvas = new Canvas;
    shown.window->add(shown.canvas);
    if (HasCaption(window->style)) {
      shown.caption = new CaptionBar(window->style, window->exStyle);
      shown.window->add(shown.caption);
    }
  }
  DialogWindow &flWindow = *shown.window;
  std::string title = ToUtf8(model.text);
  if (flWindow.label() == nullptr || title != flWindow.label()) flWindow.copy_label(title.c_str());
  Place(&flWindow, model.rect, origin);
  if (size_t generation = DrawingGeneration(dialog); generation != shown.canvas->generation) {
    shown.canvas->generation = generation;
    shown.canvas->figures = FiguresOf(dialog);
    shown.canvas->redraw();
  }
  const POINT offset = ClientOffset(window->style);
  const LONG width = model.rect.right - model.rect.left, height = model.rect.bottom - model.rect.top;
  Place(shown.canvas, RECT{0, 0, width, height - offset.y}, offset);
  if (shown.caption) {
    Place(shown.caption, RECT{0, 0, width, kCaptionHeight});
    SetLabel(shown.caption, title);
    shown.caption->held = CaptionBoxHeld(dialog);
  }
  const HWND focus = flWindow.HasKeyboard() ? FocusOf(dialog) : nullptr;

  std::map<HWND, Control> seen;
  for (const WindowPtr &child : ChildWindows(dialog)) {
    if ((child->style & WS_CHILD) == 0) continue;  // an owned top-level window shows on its own
    auto it = shown.controls.find(child->hwnd);
    Control control;
    if (it != shown.controls.end()) {
      control = it->second;
    } else {
      control.kind = KindOf(*child);
      MakeWidget(&control, *child, shown.labelSize);
      if (control.kind == Widget::kImage) {
        control.picture = PictureOf(*child);
        // Without its picture the static shows where it is, as a sunken frame.
        if (!control.picture) control.widget->box(FL_THIN_DOWN_BOX);
      }
      flWindow.add(control.widget);
    }
    SyncControl(*child, control, offset, child->hwnd == focus);
    seen[child->hwnd] = control;
  }
  for (auto &[hwnd, control] : shown.controls) {
    if (seen.count(hwnd) != 0) continue;
    flWindow.remove(control.widget);
    control.widget->image(nullptr);  // the picture goes with this map entry; deletion is deferred
    Fl::delete_widget(control.widget);
  }
  shown.controls = std::move(seen);

  if (model.visible && !flWindow.shown()) flWindow.show();
  if (!model.visible && flWindow.shown()) flWindow.hide();
  flWindow.TakesInput(TakesClicks(dialog));
  flWindow.redraw();
}

// Hands what the user did to the window system, which decides what it does: the same calls a
// touch and a headless script's keys reach.
void Play(const Input &input) {
  switch (input.kind) {
    case Input::Kind::kPointer:
      DeliverPointerInput(input.top, input.flags, input.at.x, input.at.y);
      break;
    case Input::Kind::kKey:
      DeliverKeyInput(input.top, input.key, input.shift);
      break;
    case Input::Kind::kClose:
      DeliverCloseRequest(input.top);
      break;
  }
}

}  // namespace

bool FltkActive() { return displayThread.load() == std::this_thread::get_id(); }

void FltkTurn(HWND dialog, int labelSize) {
  Dialogs()[dialog].labelSize = labelSize;
  // The dialogs beneath this one are drawn as their models stand too: a button released as it
  // opened this dialog no longer shows pushed, and the dialogs say that they take no input.
  for (auto &[hwnd, shown] : Dialogs()) Sync(hwnd, shown);
  Fl::wait(kTurnSeconds);
  std::vector<Input> inputs;
  inputs.swap(Pending());
  for (const Input &input : inputs) Play(input);
}

void FltkForget(HWND dialog) {
  if (!FltkActive()) return;
  auto it = Dialogs().find(dialog);
  if (it == Dialogs().end()) return;
  if (it->second.window) it->second.window->hide();
  Dialogs().erase(it);
  // Input still pending for the dialog has nowhere to go.
  std::erase_if(Pending(), [dialog](const Input &input) { return input.top == dialog || !IsWindow(input.top); });
  Fl::flush();
}

}  // namespace platform::gwes

bool platform::fltk::OpenDisplay(std::string *error) {
  const char *name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') {
    *error = "DISPLAY is not set: set it to an X11 display, or run with --headless --script FILE";
    return false;
  }
  // FLTK ends the program when it cannot open the display, so the connection is made here, where
  // a failure can be reported.
  Display *display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    *error = std::string("cannot connect to the X11 display ") + name +
             ": check that the X server runs and accepts this user, or run with --headless --script FILE";
    return false;
  }
  fl_open_display(display);
  Fl::scheme("gtk+");
  // The X screen, or the monitor the registry names, is the device's screen: windows, calibration
  // screens and the pointer agree on it.
  gwes::SetDisplayScreen(gwes::FindDisplayScreen(display, gwes::DisplayOutputName()));
  gwes::displayThread = std::this_thread::get_id();
  return true;
}
