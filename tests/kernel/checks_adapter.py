"""The USB serial adapter pulled and plugged in again: the touch comes back by itself, also on a new
tty number, when it is plugged in after the unit's start, and through the example hotplug rule."""
import time

from harness import POINTER, UNIT, CheckFailed, check


def touch_back(stage, plugged, mark):
    """Taps every 60 ms for 3.6 s from just after device_add; the seconds from device_add to the
    first press libinput gets after mark, or None."""
    tapper = stage.touchsim("usb")
    tapper.stdin.write("".join("tap %d %d\nwait 50\n" % next(stage.positions) for _ in range(60)))
    tapper.stdin.close()
    found = stage.libinput.stream.expect(r"^.event\d+\s+POINTER_BUTTON\s.*BTN_LEFT.*pressed", 10, mark)
    tapper.wait()
    stage.guest.flush("usb")
    return found[1] - plugged if found else None


def touch_back_result(stage, what, back, ok=True, reason=""):
    stage.result(ok and back is not None and back <= 2.0, "%s: touch back %s after device_add" % (
        what, "in %.2f s" % back if back is not None else "not"),
        reason or ("" if back is None or back <= 2.0 else "over the bound of 2 s"))


def adapter_target(stage):
    return stage.guest.sh("readlink -f %s" % stage.adapter_link()).strip()


def unplug(stage):
    link = stage.adapter_link()
    stage.guest.unplug()
    stage.guest.sh("udevadm wait --removed --timeout=20 %s" % link)


@check("replug", "the adapter pulled and plugged in three times, once with its old tty held open: the touch is "
                 "back within 2 s each time")
def replugs(stage):
    stage.unit("usb", "uinput")
    for round_number in (1, 2, 3):
        before = adapter_target(stage)
        holder = None
        if round_number == 2:
            # The old tty held open across the replug: the kernel gives the adapter a new number.
            holder = stage.guest.watch(
                "exec python3 -c 'import os, signal; os.open(\"%s\", os.O_RDWR | os.O_NOCTTY | "
                "os.O_NONBLOCK); print(\"held\", flush=True); signal.pause()'" % before)
            if holder.expect("^held$", 20) is None:
                raise CheckFailed("could not hold %s open: %s" % (before, holder.text()))
        unplug(stage)
        mark = stage.libinput.stream.mark()
        back = touch_back(stage, stage.guest.plug(), mark)
        after = adapter_target(stage)
        if holder:
            holder.stop()
        touch_back_result(stage, "replug %d of 3 (the link led to %s, then to %s%s)" % (
            round_number, before, after, ", the old tty held open" if holder else ""), back,
            after != before or not holder, "" if after != before or not holder else "no new tty number")


@check("late-plug", "the adapter plugged in 5 s after the unit's start: the touch is there within 2 s")
def late_plug(stage):
    stage.unit("usb", "uinput")
    stage.changed_unit()
    stage.guest.sh("systemctl stop %s" % UNIT)
    unplug(stage)
    mark = stage.libinput.stream.mark()
    started = time.monotonic()
    stage.guest.sh("systemctl start %s" % UNIT)
    # What this check stands for: an adapter plugged in 5 s after the service started.
    time.sleep(max(0.0, 5 - (time.monotonic() - started)))
    touch_back_result(stage, "the adapter plugged in 5 s after the unit's start", touch_back(stage, stage.guest.plug(), mark))


@check("hotplug-rule", "the example hotplug rule starts the stopped unit when the adapter is plugged in")
def hotplug_rule(stage):
    guest = stage.guest
    stage.unit("usb", "uinput")
    stage.changed_unit()
    guest.sh("cp /usr/share/doc/norvik/examples/91-norvik-hotplug.rules /etc/udev/rules.d/ && "
             "udevadm control --reload && systemctl stop %s" % UNIT)
    try:
        unplug(stage)
        mark = stage.libinput.stream.mark()
        plugged = guest.plug()
        added = stage.libinput.added(POINTER, mark, 30)
        state = guest.run("systemctl is-active %s" % UNIT)[1].strip()
        if added is None:
            stage.result(False, "the example hotplug rule starts the stopped unit on plug-in",
                         "no device in libinput within 30 s of device_add; the unit is %s" % state)
            return
        begun = stage.tap("usb")
        seen = stage.libinput.tap_seen(added[2], False, added[0], 10)
        stage.result(seen is not None and state == "active",
                     "the example hotplug rule started the stopped unit (%s) %.2f s after device_add; "
                     "its first tap reached libinput in %s" % (state, added[1] - plugged,
                                                              "%.2f s" % (seen[0] - begun) if seen else "no time"),
                     "" if seen else "no press and release within 10 s")
    finally:
        # The checks after this one plug and unplug the adapter with the unit stopped.
        guest.run("rm -f /etc/udev/rules.d/91-norvik-hotplug.rules && udevadm control --reload")
