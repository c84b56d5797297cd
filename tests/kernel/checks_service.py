"""The installed unit on the 16550: the udev rule for uinput, the first tap after the unit's start,
after a crash and after a hang, the read thread's priority, and where a tap lands."""
import time

from harness import POINTER, TOUCH, UNIT, check, pointer_position


@check("uinput-acl", "the udev rule 90-norvik-uinput.rules gives /dev/uinput to the service's user")
def uinput_acl(stage):
    acl = [l for l in stage.guest.run("getfacl -p /dev/uinput")[1].split("\n") if l.startswith("user:")]
    stage.result("user:norvikd:rw-" in acl, "the udev rule 90-norvik-uinput.rules gave /dev/uinput to "
                 "norvikd (ACL %s)" % (", ".join(acl) or "none"))


def first_tap(stage, what, mode, line, since, start, mark):
    """The Norvik device of mode appears in libinput after mark, then a tap reaches it."""
    name = TOUCH if mode == "uinput-touch" else POINTER
    added = stage.libinput.added(name, mark, 15)
    if added is None:
        stage.result(False, "%s: %s" % (mode, what), "libinput got no device \"%s\" within 15 s of %s"
                     % (name, since))
        return None
    begun = stage.tap(line)
    seen = stage.libinput.tap_seen(added[2], mode == "uinput-touch", added[0], 10)
    stage.result(seen is not None, "%s: %s reached libinput in %s (device there %.2f s after %s)"
                 % (mode, what, "%.2f s" % (seen[0] - begun) if seen else "no time",
                    added[1] - start, since), "" if seen else "no press and release within 10 s")
    return added


def unit_checks(stage, mode):
    """Under the installed unit: the first tap after its start, after kill -9 and after SIGSTOP."""
    guest = stage.guest
    stage.init_root("--port /dev/ttyS1 --pointer " + mode)
    mark = stage.libinput.stream.mark()
    start = time.monotonic()
    guest.sh("systemctl start %s" % UNIT)
    added = first_tap(stage, "the first tap after the unit's start", mode, "uart", "systemctl start", start, mark)
    if mode == "uinput":
        read_thread_priority(stage)
    for signal_name, what in (("KILL", "kill -9 of devmgr (Restart=always)"),
                              ("STOP", "SIGSTOP of devmgr (the watchdog)")):
        mark = stage.libinput.stream.mark()
        start = time.monotonic()
        guest.sh("kill -%s %s" % (signal_name, stage.main_pid()))
        if added is not None and stage.libinput.removed(added[2], mark, 15) is None:
            stage.result(False, "%s: the first tap after %s" % (mode, what), "libinput kept the old device 15 s")
            continue
        added = first_tap(stage, "the first tap after " + what, mode, "uart", "kill -" + signal_name, start, mark)


def read_thread_priority(stage):
    # The read thread: one of the threads CreateThread made (named after the program, where
    # devmgr's own are "devmgr accept" and the like), the one that waits in poll on the line.
    pid = stage.main_pid()
    out = stage.guest.sh("for t in /proc/%s/task/*; do echo \"${t##*/} $(cat $t/wchan) "
                         "$(cut -d')' -f2- $t/stat | awk '{print $39, $38}') $(cat $t/comm)\"; done" % pid)
    threads = [line.split(" ", 4) for line in out.strip().split("\n")]
    readers = [t for t in threads if t[4] == "devmgr" and t[0] != pid and t[1] == "do_sys_poll"]
    policies = {"0": "SCHED_OTHER", "1": "SCHED_FIFO", "2": "SCHED_RR"}
    ok = len(readers) == 1 and readers[0][2:4] == ["1", "10"]
    stage.result(ok, "uinput: the read thread of the unit's devmgr runs at %s" % (
        ", ".join("%s %s" % (policies.get(t[2], t[2]), t[3]) for t in readers) or "no such thread"),
        "" if ok else "threads (tid, wait, policy, priority, name): " + "; ".join(" ".join(t) for t in threads))


@check("unit-uinput", "the absolute pointer on the 16550: the first tap after the unit's start, kill -9 and "
                      "SIGSTOP; the read thread's priority")
def unit_uinput(stage):
    unit_checks(stage, "uinput")


@check("unit-uinput-touch", "the touch screen on the 16550: the first tap after the unit's start, kill -9 and "
                            "SIGSTOP")
def unit_uinput_touch(stage):
    unit_checks(stage, "uinput-touch")


def position(stage, what, line, node):
    """A tap on the pointer device node lands where the stored calibration says."""
    cx, cy = next(stage.positions)
    mark = stage.libinput.stream.mark()
    stage.tap(line, (cx, cy))
    seen = node and stage.libinput.tap_seen(node, False, mark, 10)
    want = pointer_position(cx, cy)
    if seen is None or seen[1] is None:
        stage.result(False, "a tap through %s at the mapped position" % what,
                     "no press with a position in libinput within 10 s" if node else "no device in libinput")
        return
    off = max(abs(seen[1] - want[0]), abs(seen[2] - want[1]))
    stage.result(off <= 4, "a tap through %s at controller (%d, %d) reached libinput at (%d, %d), "
                 "the calibration's (%d, %d)" % (what, cx, cy, seen[1], seen[2], want[0], want[1]),
                 "%d units off" % off)


@check("position-16550", "a tap on the 16550 reaches libinput where the stored calibration puts it")
def position_16550(stage):
    position(stage, "the 16550 (/dev/ttyS1)", "uart", stage.unit("uart", "uinput"))


@check("position-adapter", "a tap on the USB adapter, named by /dev/serial/by-id, reaches libinput where the "
                           "stored calibration puts it")
def position_adapter(stage):
    node = stage.unit("usb", "uinput")
    position(stage, stage.adapter_link(), "usb", node)

