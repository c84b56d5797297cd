// The FLTK rendering of modal dialogs on X11: each dialog's window model (its child windows'
// rectangles, texts, visibility, enabled state, check marks, trackbar ranges and positions) is
// drawn with FLTK widgets and brought in step before every wait, and what the user does becomes
// the messages a headless script's actions produce (BM_CLICK, a trackbar click, WM_CLOSE, IDCANCEL).
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Slider.H>
#include <FL/fl_ask.H>
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
  enum class Kind { kClick, kSlider, kEscape, kClose, kMouse } kind = Kind::kClick;
  HWND hwnd = nullptr;  // kClick, kSlider: the control; kEscape, kClose, kMouse: the dialog
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

struct Shown {
  std::unique_ptr<Fl_Double_Window> window;
  Canvas *canvas = nullptr;  // owned by the window, its first child
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
  picture->pixels = std::move(*image);
  picture->full = std::make_unique<Fl_RGB_Image>(picture->pixels.pixels.data(), picture->pixels.width,
                                                 picture->pixels.height, 4);
  return picture;
}

// Shows the picture whole inside the control: scaled down, keeping its proportions, when it is
// larger than the control, and centred.
void FitPicture(Fl_Widget *widget, Picture &picture) {
  const int width = picture.pixels.width;
  const int height = picture.pixels.height;
  double scale = std::min({1.0, static_cast<double>(widget->w()) / width, static_cast<double>(widget->h()) / height});
  int w = std::max(1, static_cast<int>(width * scale));
  int h = std::max(1, static_cast<int>(height * scale));
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

void Place(Fl_Widget *widget, const RECT &rect) {
  int w = std::max(1, static_cast<int>(rect.right - rect.left));
  int h = std::max(1, static_cast<int>(rect.bottom - rect.top));
  if (widget->x() != rect.left || widget->y() != rect.top || widget->w() != w || widget->h() != h)
    widget->resize(rect.left, rect.top, w, h);
}

void SyncControl(const Window &window, const Control &control) {
  Model model = ModelOf(window);
  Fl_Widget *widget = control.widget;
  Place(widget, model.rect);
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
    shown.window = std::make_unique<Fl_Double_Window>(model.rect.left, model.rect.top, w, h);
    shown.window->end();
    shown.window->callback(OnWindow, dialog);
    // A window without a caption, such as a full-screen one, has no frame on the display either.
    if ((window->style & WS_CAPTION) != WS_CAPTION) shown.window->border(0);
    shown.canvas = new Canvas(dialog);
    shown.window->add(shown.canvas);
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
  Place(shown.canvas, RECT{0, 0, model.rect.right - model.rect.left, model.rect.bottom - model.rect.top});

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
    SyncControl(*child, control);
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

namespace {

constexpr double kQuitPollSeconds = 0.05;
bool quitWhileBoxOpen = false;

// fl_choice runs FLTK's own loop, which knows nothing of the thread's messages: while the box is
// open, this looks for a quit request and closes the box the way its close box would.
void WatchForQuit(void *) {
  MSG quit;
  if (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) {
    quitWhileBoxOpen = true;
    if (Fl_Window *box = fl_message_icon()->window()) {
      box->do_callback();
      box->hide();
    }
    return;
  }
  Fl::repeat_timeout(kQuitPollSeconds, WatchForQuit);
}

}  // namespace

int FltkMessageBox(std::u16string_view caption, std::u16string_view text, UINT type) {
  struct Choice {
    const char *buttons[3];
    int answers[3];
  };
  // fl_choice gives 0 for its first button, for Escape and for the close box, and Return presses
  // its second; so the first button is the one that backs out and the second the default one.
  Choice choice;
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
      choice = {{"Cancel", "OK", nullptr}, {IDCANCEL, IDOK, 0}};
      break;
    case MB_ABORTRETRYIGNORE:
      choice = {{"Abort", "Retry", "Ignore"}, {IDABORT, IDRETRY, IDIGNORE}};
      break;
    case MB_YESNOCANCEL:
      choice = {{"Cancel", "Yes", "No"}, {IDCANCEL, IDYES, IDNO}};
      break;
    case MB_YESNO:
      choice = {{"No", "Yes", nullptr}, {IDNO, IDYES, 0}};
      break;
    case MB_RETRYCANCEL:
      choice = {{"Cancel", "Retry", nullptr}, {IDCANCEL, IDRETRY, 0}};
      break;
    default:
      // A box with only OK answers IDOK however it is closed.
      choice = {{nullptr, "OK", nullptr}, {IDOK, IDOK, 0}};
      break;
  }
  std::string title = ToUtf8(caption);
  fl_message_title(title.c_str());
  quitWhileBoxOpen = false;
  Fl::add_timeout(kQuitPollSeconds, WatchForQuit);
  int chosen = fl_choice("%s", choice.buttons[0], choice.buttons[1], choice.buttons[2], ToUtf8(text).c_str());
  Fl::remove_timeout(WatchForQuit);
  // The box is hidden once answered, but the request sits in the connection's buffer until the
  // next turn of the event loop; flushing it takes the box off the screen before the caller goes on.
  Fl::flush();
  if (quitWhileBoxOpen) return 0;
  return chosen >= 0 && chosen < 3 && choice.answers[chosen] != 0 ? choice.answers[chosen] : choice.answers[0];
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
