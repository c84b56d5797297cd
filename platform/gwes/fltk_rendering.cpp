// The FLTK rendering of modal dialogs on X11: each dialog's window model (its child windows'
// rectangles, texts, visibility, enabled state, check marks, trackbar ranges and positions) is
// drawn with FLTK widgets and brought in step before every wait, and what the user does becomes
// the messages a headless script's actions produce (BM_CLICK, a trackbar click, WM_CLOSE, IDCANCEL,
// IDOK). No window manager decorates the windows: a window's caption is drawn here, as the
// device's window system draws it, so a desktop and a bare display look the same.
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
#include "fltk_driver.h"
#include "platform/fltk_display.h"
#include "platform/text.h"
#include "resource_image.h"
#include "screen_size.h"
#include "window_drawing.h"
#include "window_frame.h"
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

struct Control {
  Widget kind = Widget::kOther;
  Fl_Widget *widget = nullptr;       // owned by the dialog's FLTK window
  std::shared_ptr<Picture> picture;  // an image static's, when its resource could be read
};

// What the user did, played once FLTK's event handling has returned, so that no widget is changed
// or deleted inside its own callback.
struct Input {
  enum class Kind { kClick, kSlider, kEscape, kClose, kOk, kMouse } kind = Kind::kClick;
  HWND hwnd = nullptr;  // kClick, kSlider: the control; kEscape, kClose, kOk, kMouse: the dialog
  LONG value = 0;       // kSlider: the position released at
  UINT message = 0;     // kMouse: the mouse message, its key state and its client point
  WPARAM keys = 0;
  POINT at{};
};

std::vector<Input> &Pending() {
  static auto *pending = new std::vector<Input>;
  return *pending;
}

// What the program drew on the dialog, beneath its controls. It is also the dialog's background:
// the mouse on it, where no control takes it, becomes the dialog's own mouse messages.
class Canvas : public Fl_Widget {
 public:
  explicit Canvas(HWND dialog) : Fl_Widget(0, 0, 1, 1), dialog_(dialog) {}
  std::vector<Figure> figures;
  size_t generation = 0;

 private:
  int handle(int event) override {
    switch (event) {
      case FL_ENTER:
        return 1;  // so that moves without a button arrive too
      case FL_PUSH:
        if (Fl::event_button() == FL_LEFT_MOUSE) return Queue(WM_LBUTTONDOWN, MK_LBUTTON);
        if (Fl::event_button() == FL_RIGHT_MOUSE) return Queue(WM_RBUTTONDOWN, MK_RBUTTON);
        return 0;
      case FL_DRAG:
        return Queue(WM_MOUSEMOVE, Fl::event_button1() != 0 ? MK_LBUTTON : Fl::event_button3() != 0 ? MK_RBUTTON : 0);
      case FL_MOVE:
        return Queue(WM_MOUSEMOVE, 0);
      case FL_RELEASE: {
        // FLTK holds back the moves it reads in one go and hands on only the last, after the
        // release: the dialog sees the pointer reach the release point while the button is down.
        const WPARAM held = Fl::event_button() == FL_LEFT_MOUSE ? MK_LBUTTON : MK_RBUTTON;
        if (Fl::event_x() - x() != last_.x || Fl::event_y() - y() != last_.y) Queue(WM_MOUSEMOVE, held);
        if (Fl::event_button() == FL_LEFT_MOUSE) return Queue(WM_LBUTTONUP, 0);
        if (Fl::event_button() == FL_RIGHT_MOUSE) return Queue(WM_RBUTTONUP, 0);
        return 1;
      }
      default:
        return Fl_Widget::handle(event);
    }
  }

  int Queue(UINT message, WPARAM keys) {
    last_ = POINT{Fl::event_x() - x(), Fl::event_y() - y()};
    Pending().push_back(Input{Input::Kind::kMouse, dialog_, 0, message, keys, last_});
    return 1;
  }

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

  HWND dialog_;
  POINT last_{-1, -1};  // where the last mouse message put the pointer
};

// A window's caption bar: its text, and the OK and close boxes it has. A press released on the
// box it began on is that box's click.
class CaptionBar : public Fl_Widget {
 public:
  CaptionBar(HWND dialog, DWORD style, DWORD exStyle)
      : Fl_Widget(0, 0, 1, kCaptionHeight), dialog_(dialog), style_(style), exStyle_(exStyle) {}

 private:
  CaptionLayout Layout() const { return CaptionOf(style_, exStyle_, w()); }

  FramePart PartAt(int x, int y) const {
    CaptionLayout layout = Layout();
    auto inside = [&](const RECT &rect) {
      return x >= rect.left && x < rect.right && y >= rect.top && y < rect.bottom;
    };
    if (inside(layout.ok)) return FramePart::kOkBox;
    if (inside(layout.close)) return FramePart::kCloseBox;
    return FramePart::kCaption;
  }

  int handle(int event) override {
    switch (event) {
      case FL_PUSH:
        pressed_ = Fl::event_button() == FL_LEFT_MOUSE ? PartAt(Fl::event_x() - x(), Fl::event_y() - y())
                                                       : FramePart::kCaption;
        redraw();
        return 1;
      case FL_DRAG:
        return 1;
      case FL_RELEASE: {
        FramePart released = PartAt(Fl::event_x() - x(), Fl::event_y() - y());
        if (released == pressed_ && released == FramePart::kOkBox)
          Pending().push_back(Input{Input::Kind::kOk, dialog_});
        if (released == pressed_ && released == FramePart::kCloseBox)
          Pending().push_back(Input{Input::Kind::kClose, dialog_});
        pressed_ = FramePart::kCaption;
        redraw();
        return 1;
      }
      default:
        return Fl_Widget::handle(event);
    }
  }

  void DrawBox(const RECT &rect, FramePart part, const char *symbol) {
    if (rect.right <= rect.left) return;
    constexpr int kMargin = 3;
    const int bx = x() + rect.left + kMargin, by = y() + rect.top + kMargin;
    const int bw = rect.right - rect.left - 2 * kMargin, bh = rect.bottom - rect.top - 2 * kMargin;
    fl_draw_box(pressed_ == part ? FL_DOWN_BOX : FL_UP_BOX, bx, by, bw, bh, FL_BACKGROUND_COLOR);
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
    CaptionLayout layout = Layout();
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

  HWND dialog_;
  DWORD style_;
  DWORD exStyle_;
  FramePart pressed_ = FramePart::kCaption;  // the box a left press began on
};

// A dialog's window: Return, when no control takes it, clicks the dialog's default push button.
// A window with a caption is outlined, so that a box over a dialog of the same grey stands apart.
class DialogWindow : public Fl_Double_Window {
 public:
  DialogWindow(HWND dialog, bool outlined, int x, int y, int w, int h)
      : Fl_Double_Window(x, y, w, h), dialog_(dialog), outlined_(outlined) {}

 private:
  void draw() override {
    Fl_Double_Window::draw();
    if (!outlined_) return;
    fl_color(fl_rgb_color(0, 0, 128));
    fl_rect(0, 0, w(), h());
  }

  int handle(int event) override {
    if (event == FL_SHORTCUT && (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter)) {
      for (const WindowPtr &child : ChildWindows(dialog_)) {
        if ((child->style & WS_CHILD) == 0 || !EqualsIgnoreCase(child->className, u"BUTTON") ||
            (child->style & BS_TYPEMASK) != BS_DEFPUSHBUTTON)
          continue;
        Pending().push_back(Input{Input::Kind::kClick, child->hwnd});
        return 1;
      }
    }
    return Fl_Double_Window::handle(event);
  }

  HWND dialog_;
  bool outlined_;
};

struct Shown {
  std::unique_ptr<Fl_Double_Window> window;
  CaptionBar *caption = nullptr;  // owned by the window, for a window with a caption
  Canvas *canvas = nullptr;  // owned by the window
  std::map<HWND, Control> controls;
};

std::map<HWND, Shown> &Dialogs() {
  static auto *dialogs = new std::map<HWND, Shown>;  // never destroyed: FLTK may outlive static destructors
  return *dialogs;
}

HWND HandleOf(void *data) { return static_cast<HWND>(data); }

void OnButton(Fl_Widget *, void *data) { Pending().push_back({Input::Kind::kClick, HandleOf(data)}); }

void OnSlider(Fl_Widget *widget, void *data) {
  auto position = static_cast<LONG>(static_cast<Fl_Slider *>(widget)->value());
  Pending().push_back({Input::Kind::kSlider, HandleOf(data), position});
}

// FLTK calls a window's callback for its close box and for the Escape key.
void OnWindow(Fl_Widget *, void *data) {
  bool escape = Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape;
  Pending().push_back({escape ? Input::Kind::kEscape : Input::Kind::kClose, HandleOf(data)});
}

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

Fl_Widget *MakeWidget(Widget kind, const Window &window, int labelSize) {
  void *data = window.hwnd;
  Fl_Widget *widget = nullptr;
  switch (kind) {
    case Widget::kPush:
      widget = new Fl_Button(0, 0, 1, 1);
      widget->callback(OnButton, data);
      break;
    case Widget::kRadio:
      widget = new Fl_Round_Button(0, 0, 1, 1);
      widget->callback(OnButton, data);
      break;
    case Widget::kCheck:
      widget = new Fl_Check_Button(0, 0, 1, 1);
      widget->callback(OnButton, data);
      break;
    case Widget::kGroupBox:
      widget = new Fl_Box(FL_ENGRAVED_FRAME, 0, 0, 1, 1, nullptr);
      widget->align(FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE);
      break;
    case Widget::kImage:
      widget = new Fl_Box(FL_NO_BOX, 0, 0, 1, 1, nullptr);
      widget->align(FL_ALIGN_CENTER | FL_ALIGN_INSIDE);
      break;
    case Widget::kFill: {
      DWORD type = window.style & SS_TYPEMASK;
      widget = new Fl_Box(FL_FLAT_BOX, 0, 0, 1, 1, nullptr);
      widget->color(type == SS_BLACKRECT ? FL_BLACK : type == SS_GRAYRECT ? FL_DARK3 : FL_WHITE);
      break;
    }
    case Widget::kTrackbar: {
      auto *slider = new Fl_Slider(0, 0, 1, 1);
      slider->type(FL_HOR_NICE_SLIDER);
      slider->step(1);
      slider->when(FL_WHEN_RELEASE);
      slider->callback(OnSlider, data);
      widget = slider;
      break;
    }
    case Widget::kText:
    case Widget::kOther: {
      DWORD type = window.style & SS_TYPEMASK;
      Fl_Align across = type == SS_CENTER ? FL_ALIGN_CENTER : type == SS_RIGHT ? FL_ALIGN_RIGHT : FL_ALIGN_LEFT;
      widget = new Fl_Box(FL_NO_BOX, 0, 0, 1, 1, nullptr);
      widget->align(across | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
      break;
    }
  }
  // FLTK's faces run wider than the model's (a character half as wide as it is high), so the text
  // is drawn a little smaller than the character height, to fit the rectangles the layout gives.
  widget->labelsize(labelSize * 5 / 6);
  return widget;
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

void SyncControl(const Window &window, const Control &control, POINT offset) {
  Model model = ModelOf(window);
  Fl_Widget *widget = control.widget;
  Place(widget, model.rect, offset);
  if (control.kind != Widget::kImage && control.kind != Widget::kTrackbar && control.kind != Widget::kFill)
    SetLabel(widget, LabelOf(model.text));
  if (control.picture) FitPicture(widget, *control.picture);
  if (control.kind == Widget::kRadio || control.kind == Widget::kCheck) {
    auto *button = static_cast<Fl_Button *>(widget);
    char checked = SendMessageW(window.hwnd, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
    // While the user holds the button down its mark shows the press; putting the model's mark back
    // then would make the release look like no change, and the click would be lost.
    if (button->value() != checked && Fl::pushed() != button) button->value(checked);
  }
  if (control.kind == Widget::kTrackbar) {
    auto *slider = static_cast<Fl_Slider *>(widget);
    auto low = static_cast<double>(SendMessageW(window.hwnd, TBM_GETRANGEMIN, 0, 0));
    auto high = static_cast<double>(SendMessageW(window.hwnd, TBM_GETRANGEMAX, 0, 0));
    auto position = static_cast<double>(SendMessageW(window.hwnd, TBM_GETPOS, 0, 0));
    if (slider->minimum() != low || slider->maximum() != high) slider->bounds(low, high);
    // While the user drags, the knob stays where the user holds it.
    if (slider->value() != position && Fl::pushed() != slider) slider->value(position);
  }
  if (model.enabled != (widget->active() != 0)) model.enabled ? widget->activate() : widget->deactivate();
  if (model.visible != (widget->visible() != 0)) model.visible ? widget->show() : widget->hide();
}

void Sync(HWND dialog, Shown &shown, int labelSize) {
  WindowPtr window = LookupWindow(dialog);
  if (!window) return;
  Model model = ModelOf(*window);
  if (!shown.window) {
    int w = std::max(1, static_cast<int>(model.rect.right - model.rect.left));
    int h = std::max(1, static_cast<int>(model.rect.bottom - model.rect.top));
    shown.window = std::make_unique<DialogWindow>(dialog, HasCaption(window->style), model.rect.left, model.rect.top,
                                                  w, h);
    shown.window->end();
    shown.window->callback(OnWindow, dialog);
    shown.window->border(0);
    shown.canvas = new Canvas(dialog);
    shown.window->add(shown.canvas);
    if (HasCaption(window->style)) {
      shown.caption = new CaptionBar(dialog, window->style, window->exStyle);
      shown.window->add(shown.caption);
    }
  }
  Fl_Double_Window &flWindow = *shown.window;
  std::string title = ToUtf8(model.text);
  if (flWindow.label() == nullptr || title != flWindow.label()) flWindow.copy_label(title.c_str());
  Place(&flWindow, model.rect);
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
  }

  std::map<HWND, Control> seen;
  for (const WindowPtr &child : ChildWindows(dialog)) {
    if ((child->style & WS_CHILD) == 0) continue;  // an owned top-level window shows on its own
    auto it = shown.controls.find(child->hwnd);
    Control control;
    if (it != shown.controls.end()) {
      control = it->second;
    } else {
      control.kind = KindOf(*child);
      control.widget = MakeWidget(control.kind, *child, labelSize);
      if (control.kind == Widget::kImage) {
        control.picture = PictureOf(*child);
        // Without its picture the static shows where it is, as a sunken frame.
        if (!control.picture) control.widget->box(FL_THIN_DOWN_BOX);
      }
      flWindow.add(control.widget);
    }
    SyncControl(*child, control, offset);
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
  flWindow.redraw();
}

// The dialog a piece of input belongs to takes no input while it is disabled (its own modal
// dialog or message box is up) or hidden.
bool DialogTakesInput(HWND hwnd) {
  WindowPtr window = LookupWindow(hwnd);
  while (window && (window->style & WS_CHILD) != 0) window = LookupWindow(window->parent);
  return window && TakesClicks(window->hwnd);
}

void Play(const Input &input) {
  if (!DialogTakesInput(input.hwnd)) return;
  switch (input.kind) {
    case Input::Kind::kClick:
      SendMessageW(input.hwnd, BM_CLICK, 0, 0);
      break;
    case Input::Kind::kSlider:
      ClickTrackbar(input.hwnd, input.value);
      break;
    case Input::Kind::kEscape:
      PostMessageW(input.hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(input.hwnd, IDCANCEL)));
      break;
    case Input::Kind::kClose:
      PostMessageW(input.hwnd, WM_CLOSE, 0, 0);
      break;
    case Input::Kind::kOk:
      PostMessageW(input.hwnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      break;
    case Input::Kind::kMouse:
      PostMessageW(input.hwnd, input.message, input.keys, MAKELPARAM(input.at.x, input.at.y));
      break;
  }
}

}  // namespace

bool FltkActive() { return displayThread.load() == std::this_thread::get_id(); }

void FltkTurn(HWND dialog, int labelSize) {
  Sync(dialog, Dialogs()[dialog], labelSize);
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
  // Input still pending for the dialog or its controls has nowhere to go.
  std::erase_if(Pending(), [](const Input &input) { return !IsWindow(input.hwnd); });
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
  // The X screen is the device's screen: windows, calibration screens and the pointer agree on it.
  gwes::SetDisplayScreenSize(DisplayWidth(display, DefaultScreen(display)), DisplayHeight(display, DefaultScreen(display)));
  gwes::displayThread = std::this_thread::get_id();
  return true;
}
