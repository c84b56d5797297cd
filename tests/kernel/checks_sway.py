"""sway (wlroots) in the guest on the second display adapter's two heads: the touch put on one output
of two with the `input ... map_to_output` line docs/install.md gives, also with that output turned."""
import json
import re
import time

from checks_x import stop_x_server
from harness import ROOT, check, pointer_position

RUNTIME = "/run/kernel-check/sway"
# sway refuses to run as root; a desktop user is in video and input.
USER = "swayuser"
AS_USER = "setpriv --reuid=%s --regid=%s --init-groups --" % (USER, USER)
# Two outputs of different sizes side by side; the touch goes on the second.
CONFIG = """output %(first)s resolution 1024x768 position 0 0
output %(second)s resolution 800x600 position 1024 0
default_border none
xwayland disable
workspace 1 output %(first)s
workspace 2 output %(second)s
input "%(device)s" map_to_output %(second)s
"""


def two_heads(guest):
    """(/dev/dri/cardN, its two connectors' names) of the adapter with two heads, or None. The
    kernel numbers connectors of a type across all cards, in the order the drivers came."""
    names = guest.run("ls /sys/class/drm")[1].split()
    for card in (n for n in names if re.fullmatch(r"card\d+", n)):
        connectors = sorted(n[len(card) + 1:] for n in names if n.startswith(card + "-"))
        if len(connectors) == 2:
            return "/dev/dri/" + card, connectors
    return None


def active_outputs(guest, environment, timeout):
    """The names of sway's active outputs, once two are or timeout seconds have passed."""
    names, ends = [], time.monotonic() + timeout
    while len(names) < 2 and time.monotonic() < ends:
        status, text, _ = guest.run(environment + "swaymsg -t get_outputs -r")
        names = [o["name"] for o in json.loads(text) if o.get("active")] if status == 0 else []
    return names


def window_shown(guest, environment, client, start, size, timeout):
    """True once weston-fullscreen has drawn itself at size (a commit after sway's configure of
    that size) and sway's tree puts it at that size, so that surface-local positions are the
    output's own."""
    configured = client.expect(r"xdg_toplevel@\d+\.configure\(%d, %d," % size, timeout, start)
    if configured is None or client.expect(r"-> wl_surface@\d+\.commit\(\)", timeout, configured[0]) is None:
        return False
    ends = time.monotonic() + timeout
    while time.monotonic() < ends:
        status, text, _ = guest.run(environment + "swaymsg -t get_tree -r")
        if status == 0 and re.search(r'"window_rect": \{\s*"x": 0,\s*"y": 0,\s*"width": %d,\s*"height": %d' % size,
                                     text):
            return True
    return False


def sway_identifier(stage):
    """The identifier sway's input command takes, as nrvctl settings prints it."""
    settings = stage.guest.sh("nrvctl --root %s settings" % ROOT)
    found = re.search(r", sway (\d+:\d+:\S+)$", settings, re.M)
    return found and found.group(1)


def landed(stage, client, touch, size, turned):
    """Taps once; (where the client filling the output saw it, where the calibration puts it), or
    a reason it could not be seen. On an output turned a quarter (transform 90), sway turns what is
    mapped to it: the unturned output's (u, v) is the turned one's (v, 1 - u)."""
    cx, cy = next(stage.positions)
    start = client.mark()
    stage.tap("usb", (cx, cy))
    if touch:
        down = client.expect(r"wl_touch@\d+\.down\(\d+, \d+, wl_surface@\d+, -?\d+, (-?[\d.]+), (-?[\d.]+)\)", 10, start)
        at = down and down[2].groups()
    else:
        # The press, and the pointer's last position before it (entering the window, or moving in it).
        down = client.expect(r"wl_pointer@\d+\.button\(\d+, \d+, 272, 1\)", 10, start)
        moves = down and re.findall(r"wl_pointer@\d+\.(?:enter\(\d+, wl_surface@\d+,|motion\(\d+,) (-?[\d.]+), "
                                    r"(-?[\d.]+)\)", client.text(start))
        at = moves and moves[-1]
    if not at:
        return "no %s reached the client within 10 s: %s" % (
            "wl_touch.down" if touch else "press with a position", " / ".join(client.text(start).split("\n")[-4:]))
    u, v = (p / 65536 for p in pointer_position(cx, cy))
    if turned:
        u, v = v, 1 - u
    return tuple(float(p) for p in at), (u * size[0], v * size[1])


@check("sway", "sway 1.7 (DRM, pixman) on two outputs: with map_to_output, a tap through uinput-touch and "
               "through uinput lands on the chosen output at the calibration's pixel, also with it turned a quarter")
def sway(stage):
    guest = stage.guest
    heads = two_heads(guest)
    if heads is None:
        stage.result(False, "sway: the guest's two-headed display adapter", "no DRM card with two connectors")
        return
    card, (first, second) = heads
    # QEMU shows a head beyond the first as unplugged until a window of its own shows it: the
    # connector is forced on, with the modes the kernel gives a monitor it cannot ask.
    guest.sh("echo on >/sys/class/drm/%s-%s/status" % (card.split("/")[-1], second))
    stop_x_server(stage)
    for pointer, touch in (("uinput-touch", True), ("uinput", False)):
        what = "sway, %s mapped to %s of two outputs" % (pointer, second)
        stage.unit("usb", pointer)
        identifier = sway_identifier(stage)
        if identifier is None:
            stage.result(False, what, "nrvctl settings printed no sway identifier")
            continue
        guest.sh("id %s >/dev/null 2>&1 || useradd -M -G video,input %s; rm -rf %s && mkdir -p -m 700 %s && "
                 "printf '%%s' '%s' >%s/config && chown -R %s: %s" % (
                     USER, USER, RUNTIME, RUNTIME,
                     (CONFIG % {"first": first, "second": second, "device": identifier}).replace("'", "'\\''"),
                     RUNTIME, USER, RUNTIME))
        # The seat of its own (libseat's built-in one), without a virtual terminal to switch.
        environment = ("export XDG_RUNTIME_DIR=%s SWAYSOCK=%s/ipc.sock WLR_RENDERER=pixman WLR_DRM_DEVICES=%s "
                       "LIBSEAT_BACKEND=builtin SEATD_VTBOUND=0; " % (RUNTIME, RUNTIME, card))
        compositor = guest.watch(environment + "exec %s sway -c %s/config 2>&1" % (AS_USER, RUNTIME))
        client = None
        try:
            outputs = active_outputs(guest, environment, 60)
            if sorted(outputs) != [first, second]:
                stage.result(False, what, "sway did not enable both outputs within 60 s (active: %s): %s" % (
                    outputs, " / ".join(compositor.text().split("\n")[-6:])))
                continue
            display = guest.sh("cd %s && ls wayland-*.lock | head -n 1" % RUNTIME).strip()[:-len(".lock")]
            guest.sh(environment + "swaymsg workspace 2 >/dev/null")
            client = guest.watch(environment + "WAYLAND_DISPLAY=%s WAYLAND_DEBUG=1 exec %s weston-fullscreen 2>&1"
                                 % (display, AS_USER))
            # The touch must reach the client as touches, not as the pointer sway makes of them
            # for a client without wl_touch.
            if client.expect(r"-> wl_seat@\d+\.get_%s\(" % ("touch" if touch else "pointer"), 30) is None:
                stage.result(False, what, "weston-fullscreen took no wl_%s within 30 s" % ("touch" if touch else "pointer"))
                continue
            for transform, size in (("normal", (800, 600)), ("90", (600, 800))):
                mark = client.mark()
                if transform != "normal":
                    guest.sh(environment + "swaymsg output %s transform %s >/dev/null" % (second, transform))
                if not window_shown(guest, environment, client, mark, size, 30):
                    stage.result(False, "%s, transform %s" % (what, transform),
                                 "sway did not show weston-fullscreen at %dx%d within 30 s" % size)
                    continue
                seen = landed(stage, client, touch, size, transform != "normal")
                if isinstance(seen, str):
                    stage.result(False, "%s, transform %s" % (what, transform), seen)
                    continue
                at, want = seen
                off = max(abs(v - w) for v, w in zip(at, want))
                stage.result(off <= 1.0, "%s, transform %s: a tap reached a client filling it (%dx%d) at (%.1f, "
                             "%.1f), the calibration's (%.1f, %.1f)%s" % (
                                 (what, transform) + size + at + want +
                                 (" turned with the output" if transform != "normal" else "",)), "%.1f px off" % off)
        finally:
            if client is not None:
                client.stop()
            compositor.stop()
