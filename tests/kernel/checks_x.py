"""An X server in the guest (Xorg, the dummy video driver, X's libinput input driver): where a tap
lands through uinput, uinput-touch and the xtest output, and calvex's calibration of one monitor of
two, as a member of norvik who may not open the tty."""
import re

from harness import DIALOUT_MEMBER, LLX, LLY, MEMBER, POINTER, ROOT, TOUCH, UNIT, URX, URY, CheckFailed, \
    CheckSkipped, check, pointer_position

# The panel over the left one of two monitors: turned half round, offset, a little noisy; and the
# pixels of that monitor the taps after its calibration are made at.
MONITOR_PANEL = "left=15200,right=900,bottom=16000,top=700,noise=4"
MONITOR_TAPS = ((160, 120), (640, 360), (420, 250))
XTEST_ROOT = "/var/lib/norvik/xtest"


def monitor_point(pixel, size):
    """The screen point (0..65535) of touchsim's panel at a pixel of a monitor of size pixels."""
    return int(pixel * 65535 / (size - 1) + 0.5)


class X:
    """Xorg on the dummy driver, and xev on its root window's button events."""

    def __init__(self, stage):
        guest = self.guest = stage.guest
        guest.sh("mkdir -p /run/kernel-check && cat >/run/kernel-check/xorg.conf <<'EOF'\n"
                 'Section "Device"\n  Identifier "dummy"\n  Driver "dummy"\n  VideoRam 16384\nEndSection\n'
                 'Section "Screen"\n  Identifier "screen"\n  Device "dummy"\n  DefaultDepth 24\nEndSection\n'
                 "EOF")
        self.server = guest.watch("exec Xorg -displayfd 1 -config /run/kernel-check/xorg.conf -noreset "
                                  "-nolisten tcp -verbose 3 -logfile /run/kernel-check/Xorg.log 2>&1")
        self.clicks = None
        self.monitors = False
        ready = self.server.expect(r"^(\d+)$", 60)
        if ready is None:
            reason = "Xorg did not start within 60 s: " + " / ".join(self.server.text().split("\n")[-6:])
            self.stop()
            raise CheckSkipped(reason)
        self.display = ":" + ready[2].group(1)
        self.clicks = self.listen()
        if self.clicks is None:
            self.stop()
            raise CheckFailed("xev never reported a click on X's root window")

    def listen(self):
        """xev on the root window's button events, once it has shown that it listens."""
        clicks = self.guest.watch("exec stdbuf -oL xev -display %s -root -event button" % self.display)
        # xev says nothing when it is ready: a middle click through XTEST shows that it listens.
        for _ in range(20):
            self.guest.sh("DISPLAY=%s xdotool click 2" % self.display)
            if click(clicks, "ButtonRelease", 2, 1, 0):
                return clicks
        clicks.stop()
        return None

    def stop(self):
        if self.clicks is not None:
            self.clicks.stop()
        self.server.stop()


def x_server(stage):
    """The stage's X server, started by the first check that needs it and kept for the others."""
    if stage.x is None:
        stage.x = X(stage)
        stage.at_end(lambda: stop_x_server(stage))
    return stage.x


def stop_x_server(stage):
    """For a check that needs the display to itself: the X server ends now."""
    if stage.x is not None:
        x, stage.x = stage.x, None
        x.stop()


def x_device(x, name, start):
    """Whether X added the input device NAME after line start of its output, within 30 s, and its
    libinput driver then opened it (X logs the device as added a moment before, and a tap in that
    moment is lost)."""
    added = x.server.expect(r"XINPUT: Adding extended input device \"%s\"" % re.escape(name), 30, start)
    if added is not None:
        x.server.expect(r"event\d+\s+- %s: device is a" % re.escape(name), 10, added[0] + 1)
    return added


def x_unit(stage, x, line, pointer, name, output=None):
    """The unit started anew on line and pointer output; "" once X has its device NAME, or why not."""
    mark = x.server.mark()
    stage.changed_unit()
    stage.unit(line, pointer, output)
    return "" if x_device(x, name, mark) else "X did not add \"%s\" within 30 s" % name


def click(clicks, kind, button, timeout, start):
    """(index, root position) of xev's next event KIND of button from start, or None. xev writes
    each on three lines: the kind, the positions, the state and the button."""
    while True:
        found = clicks.expect(r"^\s+state \S+, button %d," % button, timeout, start)
        if found is None:
            return None
        head, where = clicks.line(found[0] - 2), clicks.line(found[0] - 1)
        if head.startswith(kind + " event"):
            return found[0], tuple(int(v) for v in re.search(r"root:\((\d+),(\d+)\)", where).groups())
        start = found[0] + 1


def x_size(x):
    return tuple(int(v) for v in re.search(r"dimensions:\s+(\d+)x(\d+)", x.guest.sh(
        "xdpyinfo -display %s" % x.display)).groups())


def x_press(stage, x, line, position, panel=None, timeout=10):
    """One tap at position on line: ((pointer after it, root position of its press), ""), or
    (None, why not)."""
    mark = x.clicks.mark()
    stage.tap(line, position, panel)
    press = click(x.clicks, "ButtonPress", 1, timeout, mark)
    release = press and click(x.clicks, "ButtonRelease", 1, timeout, press[0])
    where = x.guest.sh("DISPLAY=%s xdotool getmouselocation --shell" % x.display)
    pointer = tuple(int(re.search(r"^%s=(\d+)" % axis, where, re.M).group(1)) for axis in "XY")
    if press is None or release is None:
        return None, "no click of button 1 on the root window within %d s; the pointer is at (%d, %d)" % (
            (timeout,) + pointer)
    return (pointer, press[1]), ""


def off(landed, want):
    """The largest distance, on either axis, of the pointer and the press from want."""
    return max(abs(v - w) for p in landed for v, w in zip(p, want))


def calibrated_pixel(x, cx, cy):
    width, height = x_size(x)
    dx, dy = pointer_position(cx, cy)
    return (dx * (width - 1) / 65535, dy * (height - 1) / 65535), (width, height)


def x_tap(stage, x, what, line):
    cx, cy = next(stage.positions)
    landed, reason = x_press(stage, x, line, (cx, cy))
    if landed is None:
        stage.result(False, "X: " + what, reason)
        return
    want, size = calibrated_pixel(x, cx, cy)
    distance = off(landed, want)
    stage.result(distance <= 1.0, "X (%dx%d): %s moved the pointer to (%d, %d) and clicked at (%d, %d), "
                 "the calibration's (%.1f, %.1f)" % (size + (what,) + landed[0] + landed[1] + want),
                 "%.1f px off" % distance)


def x_repeat(stage, x, what, line):
    """A tap at the place of the last one, after the cursor was moved away, clicks there."""
    cx, cy = next(stage.positions)
    first, reason = x_press(stage, x, line, (cx, cy))
    second = None
    if first:
        x.guest.sh("DISPLAY=%s xdotool mousemove 100 100" % x.display)
        second, reason = x_press(stage, x, line, (cx, cy))
    if second is None:
        stage.result(False, "X: " + what, reason)
        return
    want, _ = calibrated_pixel(x, cx, cy)
    distance = off(second, want)
    stage.result(distance <= 1.0, "X: %s clicked at (%d, %d), the calibration's (%.1f, %.1f)"
                 % ((what,) + second[1] + want), "%.1f px off" % distance)


@check("x-uinput", "X: a tap on the calibrated uinput device clicks at the calibration's pixel, also at the last "
                   "tap's place after xdotool moved the pointer away")
def x_uinput(stage):
    x = x_server(stage)
    failed = x_unit(stage, x, "usb", "uinput", POINTER)
    for what, tapper in (("a tap on the calibrated uinput device", x_tap),
                         ("uinput: a tap at the last one's place after xdotool mousemove 100 100", x_repeat)):
        if failed:
            stage.result(False, "X: " + what, failed)
        else:
            tapper(stage, x, what, "usb")


@check("x-uinput-touch", "X: a tap on the touch screen (X's libinput driver makes pointer events of touches) "
                         "clicks at the last tap's place after xdotool moved the pointer away")
def x_uinput_touch(stage):
    x = x_server(stage)
    what = "uinput-touch: a tap at the last one's place after xdotool mousemove 100 100"
    failed = x_unit(stage, x, "usb", "uinput-touch", TOUCH)
    if failed:
        stage.result(False, "X: " + what, failed)
    else:
        x_repeat(stage, x, what, "usb")


@check("x-xtest", "X: a tap through the xtest output of a devmgr on the X display clicks at the calibration's "
                  "pixel")
def x_xtest(stage):
    x = x_server(stage)
    guest = stage.guest
    what = "a tap through the xtest output"
    # This devmgr reads the 16550: the unit must not hold it.
    stage.changed_unit()
    guest.sh("systemctl stop %s && rm -rf %s && nrvctl --root %s init --port /dev/ttyS1 --pointer xtest"
             % (UNIT, XTEST_ROOT, XTEST_ROOT))
    driver = guest.watch("DISPLAY=%s exec devmgr --root %s 2>&1" % (x.display, XTEST_ROOT))
    try:
        if driver.expect(r"NRV1: published", 30) is None:
            stage.result(False, "X: " + what, "devmgr did not publish NRV1: " + driver.text()[-300:])
        else:
            guest.sh("nrvctl --root %s set LLX=%d LLY=%d URX=%d URY=%d" % (XTEST_ROOT, LLX, LLY, URX, URY))
            x_tap(stage, x, what, "uart")
    finally:
        driver.stop()


def two_monitors(x):
    """Two 800x480 monitors side by side, DUMMY0 and DUMMY1; "" or why they could not be had."""
    if x.monitors:
        return ""
    status, out, err = x.guest.run(
        "export DISPLAY=%s && xrandr --newmode 800x480 29.5 800 824 896 992 480 483 493 500 && "
        "xrandr --addmode DUMMY0 800x480 && xrandr --addmode DUMMY1 800x480 && xrandr --fb 1600x480 "
        "--output DUMMY0 --mode 800x480 --pos 0x0 --output DUMMY1 --mode 800x480 --pos 800x0" % x.display)
    x.monitors = status == 0
    return "" if x.monitors else "xrandr: " + (err or out).strip()


@check("x-monitors", "X, two monitors: calvex's 5-point calibration of DUMMY0 by a member of norvik who may not "
                     "open the tty and by one also in dialout, then taps land on its pixels, also after a restart "
                     "of the unit")
def x_monitors(stage):
    """Two 800x480 monitors side by side, DUMMY0 the panel's: calvex calibrates it with touchsim
    touching its targets, and taps then land on its pixels."""
    x = x_server(stage)
    guest = stage.guest
    what = "X, two monitors (DUMMY0 and DUMMY1, 800x480 each, side by side)"
    failed = two_monitors(x) or x_unit(stage, x, "usb", "uinput", POINTER, output="DUMMY0")
    calibrated = False
    # Whatever his groups, a member calibrates through devmgr's loan, never the tty itself.
    for member, who in ((MEMBER, "a member of norvik who may not open the tty"),
                        (DIALOUT_MEMBER, "a member of norvik also in dialout, who may open it")):
        calibrated, text = False, ""
        if not failed:
            calvex = guest.watch("echo $$; DISPLAY=%s exec setpriv --reuid=%s --regid=%s --init-groups -- calvex "
                                 "--root %s 2>&1" % (x.display, member, member, ROOT))
            try:
                calibrated, text, reason = x_calibrate(stage, x, calvex)
            finally:
                calvex.stop()
        stage.result(calibrated, "%s: calvex's 5-point calibration on DUMMY0 by %s, %s%s" % (
            what, member, who, text and ": " + text), failed or reason)
    # The corners calvex stored are not the set-up's.
    stage.changed_unit()
    for when in ("after the calibration", "after systemctl restart %s" % UNIT):
        if calibrated and when != "after the calibration":
            mark = x.server.mark()
            guest.sh("systemctl restart %s" % UNIT)
            if x_device(x, POINTER, mark) is None:
                failed = "X did not add \"%s\" within 30 s of the restart" % POINTER
                calibrated = False
            # A tap in the moment X has the device but has not opened it is lost; what is checked
            # here is where taps land afterwards.
            for _ in range(5):
                if not calibrated or x_press(stage, x, "usb", (monitor_point(160, 800), monitor_point(120, 480)),
                                             MONITOR_PANEL, 2)[0]:
                    break
        if not calibrated:
            stage.result(False, "%s: taps on DUMMY0 %s" % (what, when), failed)
            continue
        landed, offs = [], []
        for px, py in MONITOR_TAPS:
            press, failed = x_press(stage, x, "usb", (monitor_point(px, 800), monitor_point(py, 480)), MONITOR_PANEL)
            if press is None:
                break
            landed.append("(%d, %d)" % press[1])
            offs.append(off(press, (px, py)))
        ok = len(offs) == len(MONITOR_TAPS) and max(offs) <= 1.0
        stage.result(ok, "%s: taps at %s of DUMMY0 %s moved the pointer and clicked at %s" % (
            what, ", ".join("(%d, %d)" % t for t in MONITOR_TAPS), when, ", ".join(landed) or "nothing"),
            failed if len(offs) < len(MONITOR_TAPS) else "%.1f px off" % max(offs))


def x_calibrate(stage, x, calvex):
    """calvex's 5-point calibration, begun with a click on its button, touched by touchsim:
    (stored, what it showed, why it failed)."""
    guest, display = stage.guest, x.display
    pid = calvex.expect(r"^(\d+)$", 10)
    found = guest.run("DISPLAY=%s timeout 60 xdotool search --sync --onlyvisible --name '^Calvex$'" % display, 70)
    if pid is None or found[0] != 0:
        return False, "", "its main dialog did not show within 60 s: " + calvex.text()[-300:]
    window = found[1].split()[0]
    dialog = x_geometry(x, window)
    # "Calibrate 5pt" (1012): (401,42)-(511,82) of the main dialog's client area, which lies
    # under its 26-pixel caption.
    guest.sh("DISPLAY=%s xdotool mousemove --window %s 456 88 click 1" % (display, window))
    found = guest.run("DISPLAY=%s timeout 30 xdotool search --sync --onlyvisible --name '^Touch calibration$'"
                      % display, 40)
    if found[0] != 0:
        return False, "", "no calibration screen within 30 s of the click on \"Calibrate 5pt\" (the main " \
            "dialog at %s): %s" % (dialog, calvex.text()[-300:])
    screen = x_geometry(x, found[1].split()[0])
    touches = stage.touchsim("usb", MONITOR_PANEL)
    # The five targets, then the check point.
    touches.communicate("".join("hold %d %d 9\nlift\nwait 100\n" % (monitor_point(px, 800), monitor_point(py, 480))
                                for px, py in ((100, 60), (700, 60), (100, 420), (700, 420), (400, 240), (560, 360))))
    stored = calvex.expect(r"calibkit: .*: stored (LLX=-?\d+ LLY=-?\d+ URX=-?\d+ URY=-?\d+), largest error (\S+) pixels", 30)
    text = "the main dialog at %s, the calibration screen at %s, %s" % (
        dialog, screen, "stored %s (largest error %s px)" % stored[2].groups() if stored else "nothing stored")
    # SIGTERM ends calvex on its result page; the driver already runs again.
    guest.sh("kill -TERM %s" % pid[2].group(1))
    ended = calvex.expect(r"calvex: ended by SIGTERM", 15)
    ok = stored is not None and dialog == "538x266+131+107" and screen == "800x480+0+0" and ended is not None
    return ok, text, "" if ok else (
        "no corners stored within 30 s of the touches: " + calvex.text()[-300:] if stored is None else
        "calvex did not end on SIGTERM" if ended is None else "not on DUMMY0 (800x480+0+0)")


def x_geometry(x, window):
    """A window's WIDTHxHEIGHT+X+Y on the X screen."""
    out = x.guest.sh("DISPLAY=%s xdotool getwindowgeometry --shell %s" % (x.display, window))
    value = dict(line.split("=", 1) for line in out.split())
    return "%sx%s+%s+%s" % (value["WIDTH"], value["HEIGHT"], value["X"], value["Y"])
