"""What the desktops read from the uinput devices: the panel's size, who each device is, a touch
screen without a pointer device beside it, and the wake guard's first touch."""
import re
import time

from harness import POINTER, ROOT, TOUCH, UNIT, check, pointer_position

BUTTONS = "Norvik touch screen buttons"


def list_devices(guest):
    """libinput list-devices, one dict of "Field: value" lines per device, by name."""
    devices = {}
    for block in guest.sh("libinput list-devices").split("\n\n"):
        fields = dict(re.findall(r"^([A-Z][\w ]*?):\s+(.*)$", block, re.M))
        if "Device" in fields:
            devices[fields["Device"]] = fields
    return devices


@check("desktop-ids", "uinput-touch with nrvctl init --size: libinput shows the panel's size, and the vendor, "
                      "product and phys nrvctl settings prints; without a size the journal says desktops cannot "
                      "match the panel")
def desktop_ids(stage):
    guest = stage.guest
    cursor = stage.journal_cursor()
    stage.unit("usb", "uinput-touch")
    journal = stage.journal_since(cursor)
    stage.result("have no physical size" in journal, "without --size or a monitor's size, the journal says desktops "
                 "cannot match the panel by size", "not in the journal: " + journal[-300:])

    node = stage.unit("usb", "uinput-touch", more="--size 344x194")
    device = list_devices(guest).get(TOUCH, {})
    stage.result(device.get("Size") == "344x194mm", "with --size 344x194, libinput list-devices shows the touch "
                 "screen's size as %s" % device.get("Size"), "not 344x194mm")
    settings = guest.sh("nrvctl --root %s settings" % ROOT)
    printed = re.search(r'^Device="%s" vendor 0x([0-9a-f]{4}) product 0x([0-9a-f]{4}) phys (\S+):' % TOUCH,
                        settings, re.M)
    sysfs = guest.run("cd /sys/class/input/%s/device && cat id/vendor id/product phys" % node)[1].split() if node else []
    ok = printed is not None and list(printed.groups()) == sysfs and sysfs[2].startswith("norvik/")
    stage.result(ok, "the kernel's vendor, product and phys of the touch screen (%s) are those nrvctl settings "
                 "prints" % " ".join(sysfs), "nrvctl settings: " + (printed.group(0) if printed else settings[-300:]))


@check("touch-only", "uinput-touch with nrvctl init --touch-only on makes the touch screen alone, without the "
                     "buttons device that turns GNOME's touch mode off")
def touch_only(stage):
    for setting, wanted in (("off", True), ("on", False)):
        stage.unit("usb", "uinput-touch", more="--touch-only " + setting)
        # Both devices are made before the devmgr publishes the driver: what is there now stays.
        names = set(list_devices(stage.guest))
        stage.result(TOUCH in names and (BUTTONS in names) == wanted, "--touch-only %s: libinput has %s" % (
            setting, ", ".join(sorted(n for n in names if n.startswith("Norvik")))),
            "wanted the touch screen %s the buttons device" % ("and" if wanted else "without"))


@check("wake-guard", "WakeGuard=2 on uinput: a tap after 2 s without touches moves the pointer and presses "
                     "nothing, the next tap clicks")
def wake_guard(stage):
    guest = stage.guest
    what = "WakeGuard=2 on uinput"
    node = stage.unit("usb", "uinput")
    guest.sh("nrvctl --root %s set WakeGuard=2 >/dev/null" % ROOT)
    mark = stage.libinput.stream.mark()
    guest.sh("systemctl restart %s" % UNIT)
    stage.changed_unit()
    added = stage.libinput.added(POINTER, mark, 15)
    if added is None:
        stage.result(False, what, "the pointer did not come back within 15 s of the restart")
        return
    node = added[2]
    try:
        # The first tap after a start is not held back: no screen blanked before it.
        first = stage.libinput.stream.mark()
        stage.tap("usb")
        if stage.libinput.tap_seen(node, False, first, 10) is None:
            stage.result(False, what, "the first tap after the start gave no click within 10 s")
            return
        # The guard's own time without touches is what is checked here.
        time.sleep(3)
        cx, cy = next(stage.positions)
        second = next(stage.positions)
        waking = stage.libinput.stream.mark()
        stage.tap("usb", (cx, cy))
        stage.tap("usb", second)
        # The first press from the waking tap on is the next tap's (by its position) when the waking
        # one pressed nothing.
        clicked = stage.libinput.tap_seen(node, False, waking, 10)
        press = stage.libinput.stream.expect(r"^.%s\s+POINTER_BUTTON\s.*pressed" % node, 1, waking)
        if clicked is None or press is None:
            stage.result(False, what, "no click within 10 s of the two taps")
            return
        near = (lambda at, want: at[0] is not None and max(abs(at[0] - want[0]), abs(at[1] - want[1])) <= 4)
        before = stage.libinput.stream.text(waking).split("\n")[:press[0] - waking]
        moves = [re.search(r"([\d.]+)/\s*([\d.]+)", l) for l in before if "POINTER_MOTION_ABSOLUTE" in l]
        moved = any(m and near([round(float(v) * 655.36) for v in m.groups()], pointer_position(cx, cy)) for m in moves)
        stage.result(moved and near(clicked[1:], pointer_position(*second)),
                     "%s: the tap after 3 s without touches moved the pointer to the calibration's position with "
                     "no button event, and the next tap clicked" % what,
                     "moved there: %s; the first press at (%s, %s), the next tap's (%d, %d)" % (
                         moved, clicked[1], clicked[2], *pointer_position(*second)))
    finally:
        guest.sh("nrvctl --root %s set WakeGuard=0 >/dev/null" % ROOT)
