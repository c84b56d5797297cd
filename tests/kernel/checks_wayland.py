"""Wayland compositors in the guest, on its own DRM device: where a tap on the touch screen reaches a
client."""
import re

from checks_x import stop_x_server
from harness import TOUCH, CheckSkipped, check, pointer_position


@check("weston", "Weston (DRM, pixman, kiosk-shell): a tap on uinput-touch reaches a client as wl_touch.down at "
                 "the calibration's pixel")
def weston(stage):
    """Weston's DRM backend on the guest's VGA, with kiosk-shell, which makes every window fill
    the output: a tap on uinput-touch reaches a client as wl_touch.down at the pixel of the
    calibration's position."""
    guest = stage.guest
    what = "Weston (DRM, pixman, kiosk-shell): a tap on uinput-touch"
    if guest.run("test -c /dev/dri/card0")[0] != 0:
        raise CheckSkipped("the guest has no DRM device")
    # Weston takes the display and a virtual terminal of its own.
    stop_x_server(stage)
    stage.changed_unit()
    if stage.unit("usb", "uinput-touch") is None:
        stage.result(False, what, "libinput got no device \"%s\" within 15 s of systemctl start" % TOUCH)
        return
    environment = "mkdir -p -m 700 /run/kernel-check/xdg && export XDG_RUNTIME_DIR=/run/kernel-check/xdg; "
    compositor = guest.watch(environment + "exec weston --backend=drm-backend.so --tty=2 --use-pixman "
                             "--shell=kiosk-shell.so --no-config --socket=kernel-check --idle-time=0 2>&1")
    client = None
    try:
        if compositor.expect(r"%s: device is a touch device" % re.escape(TOUCH), 60) is None or \
                compositor.expect(r"Output '[^']*' enabled", 60) is None:
            stage.result(False, what, "Weston did not take the touch screen and enable an output within 60 s: "
                         + " / ".join(compositor.text().split("\n")[-6:]))
            return
        client = guest.watch(environment + "WAYLAND_DISPLAY=kernel-check WAYLAND_DEBUG=1 exec weston-fullscreen 2>&1")
        size = client.expect(r"xdg_toplevel@\d+\.configure\(([1-9]\d*), ([1-9]\d*),", 30)
        if size is None or client.expect(r"wl_surface@\d+\.enter\(", 30, size[0]) is None:
            stage.result(False, what, "weston-fullscreen's window was not shown filling the output within 30 s: "
                         + " / ".join(client.text().split("\n")[-6:]))
            return
        width, height = (int(v) for v in size[2].groups())
        cx, cy = next(stage.positions)
        start = client.mark()
        stage.tap("usb", (cx, cy))
        down = client.expect(r"wl_touch@\d+\.down\(\d+, \d+, wl_surface@\d+, -?\d+, (-?[\d.]+), (-?[\d.]+)\)",
                             10, start)
        # libinput puts an absolute value v of a touch screen at v * size / 65536 of the output.
        dx, dy = pointer_position(cx, cy)
        want = (dx * width / 65536, dy * height / 65536)
        if down is None:
            stage.result(False, what, "no wl_touch.down within 10 s")
            return
        at = tuple(float(v) for v in down[2].groups())
        distance = max(abs(v - w) for v, w in zip(at, want))
        stage.result(distance <= 1.0, "%s reached a client (%dx%d) as wl_touch.down at (%.1f, %.1f), the "
                     "calibration's (%.1f, %.1f)" % ((what, width, height) + at + want), "%.1f px off" % distance)
    finally:
        if client is not None:
            client.stop()
        compositor.stop()
