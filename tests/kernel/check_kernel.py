#!/usr/bin/python3
"""The installed package on a real kernel (scripts/check-kernel prepares the kernel and runs this).

Host side: boots one QEMU guest on this machine's root filesystem (9p, read-only, under a tmpfs
overlay; tests/kernel/guest-init), with QEMU's FTDI USB serial adapter and a 16550 UART behind
host pseudo-terminals and a QMP monitor for hot-plug, then runs every check in it and prints one
line per check and "N passed, M failed".

Guest side (--agent, a unit of the guest's systemd): runs the host's commands, sent as JSON lines
over the virtio port "kernel-check", and streams the output of long-running ones (libinput
debug-events, Xorg, xev) line by line as it comes.
"""
import argparse
import ctypes
import glob
import itertools
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

PORT_NAME = "kernel-check"
ROOT = "/var/lib/norvik/touch0"
UNIT = "norvik@touch0"
MEMBER = "calmember"
AS_MEMBER = "setpriv --reuid=%s --regid=%s --init-groups --" % (MEMBER, MEMBER)
ADAPTER_SERIAL = "A1B2C3"  # the example hotplug rule's serial number, so the rule matches as shipped
# The calibration the position checks store: corners in raw position / 32, as nrvctl set takes them.
LLX, LLY, URX, URY = 200, 300, 1800, 1700
POINTER = "Norvik touch screen pointer"
TOUCH = "Norvik touch screen"
TOTAL_LIMIT_S = 540
PR_SET_PDEATHSIG = 1
# The X checks, as their lines begin (a failure before them names each).
X_CHECKS = ("a tap on the calibrated uinput device",
            "uinput: a tap at the last one's place after xdotool mousemove 100 100",
            "uinput-touch: a tap at the last one's place after xdotool mousemove 100 100",
            "a tap through the xtest output")
# The panel over the left one of two monitors: turned half round, offset, a little noisy; and the
# pixels of that monitor the taps after its calibration are made at.
MONITOR_PANEL = "left=15200,right=900,bottom=16000,top=700,noise=4"
MONITOR_TAPS = ((160, 120), (640, 360), (420, 250))


# ------------------------------------------------------------------------------------ the agent

def agent():
    path = None
    for name in glob.glob("/sys/class/virtio-ports/*/name"):
        with open(name) as f:
            if f.read().strip() == PORT_NAME:
                path = "/dev/" + name.split("/")[-2]
    if path is None:
        sys.exit("agent: no virtio port named " + PORT_NAME)
    port = os.open(path, os.O_RDWR)
    lock = threading.Lock()
    watched = {}

    def send(message):
        data = (json.dumps(message) + "\n").encode()
        with lock:
            while data:
                data = data[os.write(port, data):]

    def ready():
        # The boot is done when systemd has no more jobs; the host starts its checks then.
        state = subprocess.run(["systemctl", "is-system-running", "--wait"], capture_output=True,
                               text=True, timeout=300).stdout.strip()
        failed = subprocess.run(["systemctl", "--failed", "--plain", "--no-legend"],
                                capture_output=True, text=True).stdout.split("\n")
        send({"ready": state, "failed": [line.split()[0] for line in failed if line.strip()],
              "kernel": os.uname().release})

    def run(request):
        try:
            done = subprocess.run(["/bin/bash", "-c", request["run"]], capture_output=True,
                                  text=True, errors="replace", timeout=request.get("timeout", 60),
                                  stdin=subprocess.DEVNULL)
            send({"id": request["id"], "rc": done.returncode, "out": done.stdout, "err": done.stderr})
        except subprocess.TimeoutExpired:
            send({"id": request["id"], "rc": 124, "out": "", "err": "timed out"})

    def watch(request):
        process = subprocess.Popen(["/bin/bash", "-c", request["watch"]], stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                   start_new_session=True, text=True, errors="replace")
        watched[request["id"]] = process
        for line in process.stdout:
            send({"id": request["id"], "line": line.rstrip("\n")})
        send({"id": request["id"], "end": process.wait()})

    def stop(request):
        process = watched.pop(request["stop"], None)
        if process is not None:
            try:
                os.killpg(process.pid, signal.SIGTERM)
                process.wait(5)
            except ProcessLookupError:
                pass
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
        send({"id": request["id"], "rc": 0})

    buffer = b""
    while True:
        chunk = os.read(port, 65536)
        if not chunk:  # the host is not connected (yet, or any more)
            time.sleep(0.1)
            continue
        buffer += chunk
        while b"\n" in buffer:
            line, buffer = buffer.split(b"\n", 1)
            request = json.loads(line)
            handler = ready if "hello" in request else run if "run" in request else \
                watch if "watch" in request else stop
            threading.Thread(target=handler, args=() if handler is ready else (request,),
                             daemon=True).start()


# ------------------------------------------------------------------------------------ the host

class CheckFailed(Exception):
    pass


class Stream:
    """The lines of a command that runs in the guest, each with the host time it arrived."""

    def __init__(self, guest, ident):
        self.guest, self.ident = guest, ident
        self.lines, self.ended = [], None
        self.changed = threading.Condition()

    def add(self, line):
        with self.changed:
            self.lines.append((time.monotonic(), line))
            self.changed.notify_all()

    def end(self, status):
        with self.changed:
            self.ended = status
            self.changed.notify_all()

    def mark(self):
        with self.changed:
            return len(self.lines)

    def expect(self, pattern, timeout, start=0):
        """(index, time, match) of the first line from start that matches, or None after timeout."""
        regex = re.compile(pattern)
        limit = time.monotonic() + timeout
        with self.changed:
            index = start
            while True:
                while index < len(self.lines):
                    match = regex.search(self.lines[index][1])
                    if match:
                        return index, self.lines[index][0], match
                    index += 1
                left = limit - time.monotonic()
                if left <= 0 or self.ended is not None:
                    return None
                self.changed.wait(left)

    def line(self, index):
        with self.changed:
            return self.lines[index][1]

    def text(self, start=0):
        with self.changed:
            return "\n".join(line for _, line in self.lines[start:])

    def stop(self):
        self.guest.request({"stop": self.ident})


class Guest:
    """One QEMU guest: its monitor, its agent, the host ends of its two serial lines."""

    def __init__(self, options, work):
        self.work = work
        self.replies, self.streams, self.next_id = {}, {}, 0
        self.answered = threading.Condition()
        self.events, self.event_seen = [], threading.Condition()
        kvm = os.access("/dev/kvm", os.R_OK | os.W_OK)
        self.accel = "kvm" if kvm else "tcg"
        here = os.path.dirname(os.path.abspath(__file__))
        append = " ".join([
            "console=ttyS0,115200", "panic=-1", "loglevel=4", "mitigations=off",
            "random.trust_cpu=on", "usbcore.autosuspend=-1",
            "systemd.show_status=0", "kcheck_init=" + os.path.join(here, "guest-init"),
            "kcheck_modules=" + options.modules, "kcheck_agent=" + os.path.abspath(__file__)])
        # port=1: the adapter comes back on the same socket after each replug.
        self.adapter = {"driver": "usb-serial", "id": "adapter", "bus": "xhci.0", "port": "1",
                        "chardev": "usb", "serial": ADAPTER_SERIAL}
        command = [
            "qemu-system-x86_64", "-accel", self.accel, "-cpu", "host" if kvm else "max",
            "-m", "1024", "-smp", "1", "-nodefaults", "-no-user-config", "-display", "none",
            "-no-reboot", "-kernel", options.kernel, "-initrd", options.initramfs, "-append", append,
            "-chardev", "file,id=console,path=%s/console.log" % work, "-serial", "chardev:console",
            "-chardev", "pty,id=uart", "-serial", "chardev:uart",
            "-fsdev", "local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap",
            "-device", "virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot",
            "-device", "virtio-rng-pci", "-vga", "std",
            "-device", "virtio-serial-pci",
            "-chardev", "socket,id=agent,path=%s/agent.sock,server=on,wait=off" % work,
            "-device", "virtserialport,chardev=agent,name=" + PORT_NAME,
            "-device", "qemu-xhci,id=xhci", "-chardev", "pty,id=usb",
            "-device", ",".join(["usb-serial"] + ["%s=%s" % kv for kv in self.adapter.items()
                                                  if kv[0] != "driver"]),
            "-qmp", "unix:%s/qmp.sock,server=on,wait=off" % work]
        self.log = open(os.path.join(work, "qemu.log"), "wb")
        self.lines = {}
        # QEMU dies with this program, however it ends.
        self.qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=subprocess.STDOUT, preexec_fn=lambda: ctypes.CDLL(
                                         None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL))
        try:
            self._start()
        except BaseException:
            self.close()
            raise

    def _start(self):
        self.qmp = self._connect("qmp.sock")
        self.qmp_file = self.qmp.makefile("rwb", buffering=0)
        self.qmp_file.readline()  # the greeting
        threading.Thread(target=self._read_qmp, daemon=True).start()
        self.monitor("qmp_capabilities")
        # The host ends of the lines stay open for the guest's life: QEMU's usb-serial is attached
        # only while its pseudo-terminal is connected. What the guest sends back is read and dropped.
        for chardev in self.monitor("query-chardev"):
            if chardev["label"] in ("usb", "uart"):
                path = chardev["filename"].split(":", 1)[1]
                fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
                tty.setraw(fd)
                self.lines[chardev["label"]] = (path, fd)
                threading.Thread(target=self._drop_input, args=(fd,), daemon=True).start()
        self.agent = self._connect("agent.sock")
        threading.Thread(target=self._read_agent, daemon=True).start()
        self.agent.sendall(b'{"hello": 1}\n')
        self.boot = self._wait_reply("ready", 300)
        if "closed" in self.boot:
            raise CheckFailed("the guest's agent closed its connection; console:\n" + self.tail("console.log"))

    def _connect(self, name):
        path = os.path.join(self.work, name)
        limit = time.monotonic() + 30
        while True:
            connection = socket.socket(socket.AF_UNIX)
            try:
                connection.connect(path)
                return connection
            except (FileNotFoundError, ConnectionRefusedError):
                connection.close()
                if time.monotonic() > limit or self.qemu.poll() is not None:
                    raise CheckFailed("QEMU did not open its socket %s (see its output: %s)"
                                      % (name, self.tail("qemu.log")))
                time.sleep(0.05)

    def _drop_input(self, fd):
        while True:
            try:
                if not os.read(fd, 4096):
                    return
            except OSError:
                if self.qemu.poll() is not None:
                    return
                time.sleep(0.1)  # the guest side is not attached (the adapter is unplugged)

    def _read_qmp(self):
        for line in self.qmp_file:
            message = json.loads(line)
            if "event" in message:
                with self.event_seen:
                    self.events.append(message)
                    self.event_seen.notify_all()
            else:
                self._answer("qmp", message)
        self._answer("qmp", {"error": {"desc": "the monitor's connection closed"}})

    def _read_agent(self):
        messages = self.agent.makefile("rb")
        while True:
            try:
                line = messages.readline()
            except OSError:
                line = b""
            if not line:
                break
            message = json.loads(line)
            if "ready" in message:
                self._answer("ready", message)
            elif "line" in message:
                self.streams[message["id"]].add(message["line"])
            elif "end" in message:
                self.streams[message["id"]].end(message["end"])
            else:
                self._answer(message["id"], message)
        self._answer("ready", {"closed": True})

    def _answer(self, key, message):
        with self.answered:
            self.replies[key] = message
            self.answered.notify_all()

    def _wait_reply(self, key, timeout):
        limit = time.monotonic() + timeout
        with self.answered:
            while key not in self.replies:
                left = limit - time.monotonic()
                if left <= 0 or self.qemu.poll() is not None:
                    raise CheckFailed("the guest did not answer within %d s (QEMU %s); console:\n%s"
                                      % (timeout, "exited" if self.qemu.poll() is not None else
                                         "runs", self.tail("console.log")))
                self.answered.wait(min(left, 1))
            return self.replies.pop(key)

    def tail(self, name):
        try:
            with open(os.path.join(self.work, name), errors="replace") as f:
                return f.read()[-3000:]
        except OSError:
            return ""

    def monitor(self, command, **arguments):
        with self.answered:
            self.replies.pop("qmp", None)
        self.qmp_file.write((json.dumps({"execute": command, "arguments": arguments}) + "\n").encode())
        reply = self._wait_reply("qmp", 30)
        if "error" in reply:
            raise CheckFailed("QMP %s: %s" % (command, reply["error"]["desc"]))
        return reply["return"]

    def request(self, message, timeout=60):
        with self.answered:
            self.next_id += 1
            ident = message["id"] = self.next_id
        if "watch" in message:
            self.streams[ident] = Stream(self, ident)
        self.agent.sendall((json.dumps(message) + "\n").encode())
        if "watch" in message:
            return self.streams[ident]
        return self._wait_reply(ident, timeout + 30)

    def run(self, command, timeout=60):
        """(status, standard output, standard error) of a bash command in the guest, as root."""
        reply = self.request({"run": command, "timeout": timeout}, timeout)
        return reply["rc"], reply["out"], reply["err"]

    def sh(self, command, timeout=60):
        """Standard output of a command that must succeed."""
        status, out, err = self.run(command, timeout)
        if status != 0:
            raise CheckFailed("in the guest, `%s` failed with status %d: %s" % (command, status,
                                                                                (err or out).strip()))
        return out

    def watch(self, command):
        return self.request({"watch": command})

    def unplug(self):
        """device_del of the adapter, returning once QEMU has taken it away."""
        start = len(self.events)
        self.monitor("device_del", id="adapter")
        limit = time.monotonic() + 20
        with self.event_seen:
            while not any(e["event"] == "DEVICE_DELETED" and e.get("data", {}).get("device") == "adapter"
                          for e in self.events[start:]):
                if time.monotonic() > limit:
                    raise CheckFailed("QEMU did not delete the adapter within 20 s")
                self.event_seen.wait(1)

    def plug(self):
        """device_add of the adapter; the host time just before it."""
        moment = time.monotonic()
        self.monitor("device_add", **self.adapter)
        return moment

    def flush(self, line):
        """Drops what was written to a line and not yet taken by QEMU."""
        termios.tcflush(self.lines[line][1], termios.TCOFLUSH)

    def close(self):
        if self.qemu.poll() is None:
            self.qemu.kill()
        self.qemu.wait()
        for _, fd in self.lines.values():
            os.close(fd)
        self.log.close()


def pointer_position(cx, cy):
    """Where the driver puts a report at controller position (cx, cy) under the stored corners:
    the driver's own arithmetic (common/calibration_mapping.h), then the y axis turned over."""
    def axis(raw, low, high):
        t, d = ((raw >> 5) - low) * 1536, high - low
        quotient = abs(t) // abs(d) * (1 if (t >= 0) == (d > 0) else -1)
        return min(65535, max(0, (quotient + 256) << 5))
    return axis(cx * 4, LLX, URX), 65535 - axis(cy * 4, LLY, URY)


def monitor_point(pixel, size):
    """The screen point (0..65535) of touchsim's panel at a pixel of a monitor of size pixels."""
    return int(pixel * 65535 / (size - 1) + 0.5)


class Libinput:
    """libinput debug-events in the guest: which Norvik devices it has, and their events."""
    def __init__(self, guest):
        self.stream = guest.watch("exec stdbuf -oL libinput debug-events")

    def added(self, name, start, timeout):
        """(index, time, node) of the device NAME's arrival from start."""
        found = self.stream.expect(r"^.(event\d+)\s+DEVICE_ADDED\s+%s\s{2,}seat" % re.escape(name),
                                   timeout, start)
        return found and (found[0], found[1], found[2].group(1))

    def removed(self, node, start, timeout):
        return self.stream.expect(r"^.%s\s+DEVICE_REMOVED\s" % node, timeout, start)

    def tap_seen(self, node, touch, start, timeout):
        """(time of the release, x, y in pointer units) of the next tap on node, or None."""
        down = self.stream.expect(r"^.%s\s+%s" % (node, "TOUCH_DOWN" if touch else
                                                  r"POINTER_BUTTON\s.*BTN_LEFT.*pressed"), timeout, start)
        if down is None:
            return None
        up = self.stream.expect(r"^.%s\s+%s" % (node, "TOUCH_UP" if touch else
                                                r"POINTER_BUTTON\s.*BTN_LEFT.*released"), timeout, down[0])
        if up is None:
            return None
        # The position: libinput's last absolute position up to the press, in percent of the axis
        # range (65536 units) with two decimals.
        x = y = None
        for line in self.stream.text(start).split("\n")[:down[0] - start + 1]:
            match = re.search(r"^.%s\s+(?:POINTER_MOTION_ABSOLUTE|TOUCH_DOWN)\s.*?\s([\d.]+)/\s*([\d.]+)"
                              % node, line)
            if match:
                x, y = (round(float(v) * 655.36) for v in match.groups())
        return up[1], x, y


class Run:
    def __init__(self, options):
        self.options = options
        self.passed = self.failed = self.skipped = 0
        # Each tap somewhere new: the kernel drops an absolute value equal to the last one.
        self.positions = ((1200 + i * 997 % 14000, 1300 + i * 1361 % 14000) for i in itertools.count(1))

    def result(self, ok, text, reason=""):
        if ok is None:
            self.skipped += 1
            print("kernel: %s: skipped (%s)" % (text, reason), flush=True)
        elif ok:
            self.passed += 1
            print("kernel: %s: ok" % text, flush=True)
        else:
            self.failed += 1
            print("kernel: %s: FAILED%s" % (text, " (%s)" % reason if reason else ""), flush=True)

    def touchsim(self, line, panel=None):
        """touchsim on a line at 9600 baud, started now; its script goes to its standard input. With
        panel, the script's positions are screen points over that panel model."""
        self.guest.flush(line)
        return subprocess.Popen([self.options.touchsim, "--tty", self.guest.lines[line][0], "--baud",
                                 "9600", "--drain-ms", "5000"] + (["--panel", panel] if panel else []) +
                                ["-"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, text=True)

    def tap(self, line, position=None, panel=None):
        """One tap on a line, somewhere new unless position is given; the host time it began."""
        moment = time.monotonic()
        self.touchsim(line, panel).communicate("tap %d %d\n" % (position or next(self.positions)))
        return moment

    def main_pid(self):
        return self.guest.sh("systemctl show -P MainPID %s" % UNIT).strip()

    # ---------------------------------------------------------------------------- the checks

    def first_tap(self, what, mode, line, since, start, mark):
        """The Norvik device of mode appears in libinput after mark, then a tap reaches it."""
        name = TOUCH if mode == "uinput-touch" else POINTER
        added = self.libinput.added(name, mark, 15)
        if added is None:
            self.result(False, "%s: %s" % (mode, what), "libinput got no device \"%s\" within 15 s of %s"
                        % (name, since))
            return None
        begun = self.tap(line)
        seen = self.libinput.tap_seen(added[2], mode == "uinput-touch", added[0], 10)
        self.result(seen is not None, "%s: %s reached libinput in %s (device there %.2f s after %s)"
                    % (mode, what, "%.2f s" % (seen[0] - begun) if seen else "no time",
                       added[1] - start, since), "" if seen else "no press and release within 10 s")
        return added

    def unit_checks(self, mode):
        """Under the installed unit: the first tap after its start, after kill -9 and after SIGSTOP."""
        guest = self.guest
        mark = self.libinput.stream.mark()
        start = time.monotonic()
        guest.sh("systemctl start %s" % UNIT)
        added = self.first_tap("the first tap after the unit's start", mode, "uart",
                               "systemctl start", start, mark)
        if mode == "uinput":
            self.read_thread_priority()
        for signal_name, what in (("KILL", "kill -9 of devmgr (Restart=always)"),
                                  ("STOP", "SIGSTOP of devmgr (the watchdog)")):
            mark = self.libinput.stream.mark()
            start = time.monotonic()
            guest.sh("kill -%s %s" % (signal_name, self.main_pid()))
            if added is not None and self.libinput.removed(added[2], mark, 15) is None:
                self.result(False, "%s: the first tap after %s" % (mode, what),
                            "libinput kept the old device 15 s")
                continue
            added = self.first_tap("the first tap after " + what, mode, "uart", "kill -" + signal_name, start, mark)
        return added and added[2]

    def read_thread_priority(self):
        # The read thread: one of the threads CreateThread made (named after the program, where
        # devmgr's own are "devmgr accept" and the like), the one that waits in poll on the line.
        pid = self.main_pid()
        out = self.guest.sh("for t in /proc/%s/task/*; do echo \"${t##*/} $(cat $t/wchan) "
                            "$(cut -d')' -f2- $t/stat | awk '{print $39, $38}') $(cat $t/comm)\"; done" % pid)
        threads = [line.split(" ", 4) for line in out.strip().split("\n")]
        readers = [t for t in threads if t[4] == "devmgr" and t[0] != pid and t[1] == "do_sys_poll"]
        policies = {"0": "SCHED_OTHER", "1": "SCHED_FIFO", "2": "SCHED_RR"}
        ok = len(readers) == 1 and readers[0][2:4] == ["1", "10"]
        self.result(ok, "uinput: the read thread of the unit's devmgr runs at %s" % (
            ", ".join("%s %s" % (policies.get(t[2], t[2]), t[3]) for t in readers) or "no such thread"),
            "" if ok else "threads (tid, wait, policy, priority, name): " + "; ".join(" ".join(t) for t in threads))

    def position(self, what, line, node):
        """A tap on the pointer device node lands where the stored calibration says."""
        cx, cy = next(self.positions)
        mark = self.libinput.stream.mark()
        self.tap(line, (cx, cy))
        seen = node and self.libinput.tap_seen(node, False, mark, 10)
        want = pointer_position(cx, cy)
        if seen is None or seen[1] is None:
            self.result(False, "a tap through %s at the mapped position" % what,
                        "no press with a position in libinput within 10 s" if node else "no device in libinput")
            return
        off = max(abs(seen[1] - want[0]), abs(seen[2] - want[1]))
        self.result(off <= 4, "a tap through %s at controller (%d, %d) reached libinput at (%d, %d), "
                    "the calibration's (%d, %d)" % (what, cx, cy, seen[1], seen[2], want[0], want[1]),
                    "%d units off" % off)

    def touch_back(self, plugged, mark):
        """Taps every 60 ms for 3.6 s from just after device_add; the seconds from device_add to
        the first press libinput gets after mark, or None."""
        tapper = self.touchsim("usb")
        tapper.stdin.write("".join("tap %d %d\nwait 50\n" % next(self.positions) for _ in range(60)))
        tapper.stdin.close()
        found = self.libinput.stream.expect(r"^.event\d+\s+POINTER_BUTTON\s.*BTN_LEFT.*pressed", 10, mark)
        tapper.wait()
        self.guest.flush("usb")
        return found[1] - plugged if found else None

    def touch_back_result(self, what, back, ok=True, reason=""):
        self.result(ok and back is not None and back <= 2.0, "%s: touch back %s after device_add" % (
            what, "in %.2f s" % back if back is not None else "not"),
            reason or ("" if back is None or back <= 2.0 else "over the bound of 2 s"))

    def adapter_target(self):
        return self.guest.sh("readlink -f %s" % self.by_id).strip()

    def unplug(self):
        self.guest.unplug()
        self.guest.sh("udevadm wait --removed --timeout=20 %s" % self.by_id)

    def replugs(self):
        for round_number in (1, 2, 3):
            before = self.adapter_target()
            holder = None
            if round_number == 2:
                # The old tty held open across the replug: the kernel gives the adapter a new number.
                holder = self.guest.watch(
                    "exec python3 -c 'import os, signal; os.open(\"%s\", os.O_RDWR | os.O_NOCTTY | "
                    "os.O_NONBLOCK); print(\"held\", flush=True); signal.pause()'" % before)
                if holder.expect("^held$", 20) is None:
                    raise CheckFailed("could not hold %s open: %s" % (before, holder.text()))
            self.unplug()
            mark = self.libinput.stream.mark()
            back = self.touch_back(self.guest.plug(), mark)
            after = self.adapter_target()
            if holder:
                holder.stop()
            self.touch_back_result("replug %d of 3 (the link led to %s, then to %s%s)" % (
                round_number, before, after, ", the old tty held open" if holder else ""), back,
                after != before or not holder, "" if after != before or not holder else "no new tty number")

    def late_plug(self):
        self.guest.sh("systemctl stop %s" % UNIT)
        self.unplug()
        mark = self.libinput.stream.mark()
        started = time.monotonic()
        self.guest.sh("systemctl start %s" % UNIT)
        # What this check stands for: an adapter plugged in 5 s after the service started.
        time.sleep(max(0.0, 5 - (time.monotonic() - started)))
        self.touch_back_result("the adapter plugged in 5 s after the unit's start",
                               self.touch_back(self.guest.plug(), mark))

    def hotplug_rule(self):
        guest = self.guest
        guest.sh("cp /usr/share/doc/norvik/examples/91-norvik-hotplug.rules /etc/udev/rules.d/ && "
                 "udevadm control --reload && systemctl stop %s" % UNIT)
        self.unplug()
        mark = self.libinput.stream.mark()
        plugged = guest.plug()
        added = self.libinput.added(POINTER, mark, 30)
        state = guest.run("systemctl is-active %s" % UNIT)[1].strip()
        if added is None:
            self.result(False, "the example hotplug rule starts the stopped unit on plug-in",
                        "no device in libinput within 30 s of device_add; the unit is %s" % state)
            return
        begun = self.tap("usb")
        seen = self.libinput.tap_seen(added[2], False, added[0], 10)
        self.result(seen is not None and state == "active",
                    "the example hotplug rule started the stopped unit (%s) %.2f s after device_add; "
                    "its first tap reached libinput in %s" % (state, added[1] - plugged,
                                                             "%.2f s" % (seen[0] - begun) if seen else "no time"),
                    "" if seen else "no press and release within 10 s")

    def planted_entry(self):
        """A member of norvik makes a file where the unit's socket goes while it is stopped (as a
        program that polls run/ wins the gap of a restart): the next start clears it and runs."""
        guest = self.guest
        path = "%s/run/device.NRV1" % ROOT
        guest.sh("systemctl stop %s && %s touch %s && systemctl start %s" % (UNIT, AS_MEMBER, path, UNIT))
        state = guest.run("systemctl is-active %s" % UNIT)[1].strip()
        # journald may take the line from devmgr's stderr after systemd has taken its READY=1.
        journal = guest.run("for i in $(seq 50); do journalctl -u %s --no-pager -o cat | grep -F 'removed %s, a "
                            "file of %s' && break; sleep 0.1; done" % (UNIT, path, MEMBER))[1].strip()
        answered = guest.run("%s nrvctl --root %s settings" % (AS_MEMBER, ROOT))[0] == 0
        self.result(state == "active" and bool(journal) and answered,
                    "a file a member made at run/device.NRV1 while the unit was stopped: the unit is %s%s" % (
                        state, ", the journal says " + journal.split("devmgr: ")[-1] if journal else ""),
                    "the journal names no removed file" if not journal else
                    "the member's nrvctl settings failed" if not answered else "")

    def holder_named(self):
        """A member's program keeps the driver's one handle open: root's nrvctl stop is refused and
        names him as the unit's devmgr sees him, by user, program (as it names itself: the unit
        hides other users' processes) and pid. The program speaks NRV1:'s protocol itself: an
        open request (operation 1, read and write access, the in buffer its name), then nothing."""
        guest = self.guest
        holder = guest.watch(
            "echo $$; exec %s python3 -c \"import socket, struct, time; s = socket.socket(socket.AF_UNIX, "
            "socket.SOCK_SEQPACKET); s.connect('%s/run/device.NRV1'); s.send(struct.pack('8I', 1, 0xC0000000, 0, 1, "
            "6, 0, 0, 0) + b'holder'); print('opened', struct.unpack('4I', s.recv(64)[:16])[0], flush=True); "
            "time.sleep(60)\"" % (AS_MEMBER, ROOT))
        said, pid = "", None
        try:
            pid = holder.expect(r"^(\d+)$", 10)
            opened = holder.expect(r"^opened 1$", 10)
            if pid and opened:
                err = guest.run("nrvctl --root %s stop" % ROOT)[2]
                said = next((line for line in err.split("\n") if "error 110" in line), err.strip())
        finally:
            holder.stop()
        want = "held by %s (holder, pid %s)" % (MEMBER, pid[2].group(1) if pid else "?")
        self.result(want in said, "a member's program holds NRV1:'s one handle: root's nrvctl stop is refused with "
                    "\"%s\"" % (said.replace("nrvctl: ", "", 1) or "nothing"),
                    "" if want in said else "the refusal does not say " + want + ": " + holder.text()[-200:])

    def x_server(self):
        guest = self.guest
        guest.sh("mkdir -p /run/kernel-check && cat >/run/kernel-check/xorg.conf <<'EOF'\n"
                 'Section "Device"\n  Identifier "dummy"\n  Driver "dummy"\n  VideoRam 16384\nEndSection\n'
                 'Section "Screen"\n  Identifier "screen"\n  Device "dummy"\n  DefaultDepth 24\nEndSection\n'
                 "EOF")
        server = guest.watch("exec Xorg -displayfd 1 -config /run/kernel-check/xorg.conf -noreset "
                             "-nolisten tcp -verbose 3 -logfile /run/kernel-check/Xorg.log 2>&1")
        ready = server.expect(r"^(\d+)$", 60)
        if ready is None:
            reason = "Xorg did not start within 60 s: " + " / ".join(server.text().split("\n")[-6:])
            for what in X_CHECKS:
                self.result(None, "X: " + what, reason)
            return
        display = ":" + ready[2].group(1)
        clicks = None
        try:
            clicks = self.x_listen(display)
            if clicks is None:
                for what in X_CHECKS:
                    self.result(False, "X: " + what, "xev never reported a click")
                return
            self.x_checks(server, display, clicks)
        finally:
            if clicks is not None:
                clicks.stop()
            server.stop()

    def x_listen(self, display):
        """xev on the root window's button events, once it has shown that it listens."""
        clicks = self.guest.watch("exec stdbuf -oL xev -display %s -root -event button" % display)
        # xev says nothing when it is ready: a middle click through XTEST shows that it listens.
        for _ in range(20):
            self.guest.sh("DISPLAY=%s xdotool click 2" % display)
            if self.click(clicks, "ButtonRelease", 2, 1, 0):
                return clicks
        clicks.stop()
        return None

    @staticmethod
    def x_device(server, name, start):
        """Whether X added the input device NAME after line start of its output, within 30 s."""
        return server.expect(r"XINPUT: Adding extended input device \"%s\"" % re.escape(name), 30, start)

    def x_unit(self, server, options, name):
        """The unit started again on `nrvctl init --force OPTIONS`; "" once X has its device NAME,
        or why not."""
        mark = server.mark()
        status, out, err = self.guest.run("systemctl stop %s && nrvctl --root %s init --force %s && "
                                          "systemctl start %s" % (UNIT, ROOT, options, UNIT))
        if status != 0:
            return "nrvctl init --force %s: %s" % (options, (err or out).strip().split("\n")[0])
        return "" if self.x_device(server, name, mark) else "X did not add \"%s\" within 30 s" % name

    def x_checks(self, server, display, clicks):
        guest = self.guest
        if self.x_device(server, POINTER, 0) is None:
            for what in X_CHECKS[:2]:
                self.result(False, "X: " + what, "X did not add \"%s\"" % POINTER)
        else:
            self.x_tap(display, clicks, X_CHECKS[0], "usb")
            self.x_repeat(display, clicks, X_CHECKS[1], "usb")
        # The touch screen: X's libinput driver makes pointer events of its touches.
        failed = self.x_unit(server, "--pointer uinput-touch", TOUCH)
        if failed:
            self.result(False, "X: " + X_CHECKS[2], failed)
        else:
            self.x_repeat(display, clicks, X_CHECKS[2], "usb")
        guest.sh("nrvctl --root /var/lib/norvik/xtest init --port /dev/ttyS1 --pointer xtest")
        driver = guest.watch("DISPLAY=%s exec devmgr --root /var/lib/norvik/xtest 2>&1" % display)
        try:
            if driver.expect(r"NRV1: published", 30) is None:
                self.result(False, "X: " + X_CHECKS[3], "devmgr did not publish NRV1: " + driver.text()[-300:])
            else:
                guest.sh("nrvctl --root /var/lib/norvik/xtest set LLX=%d LLY=%d URX=%d URY=%d" % (LLX, LLY, URX, URY))
                self.x_tap(display, clicks, X_CHECKS[3], "uart")
        finally:
            driver.stop()
        self.x_monitors(server, display, clicks)

    @staticmethod
    def click(clicks, kind, button, timeout, start):
        """(index, root position) of xev's next event KIND of button from start, or None. xev
        writes each on three lines: the kind, the positions, the state and the button."""
        while True:
            found = clicks.expect(r"^\s+state \S+, button %d," % button, timeout, start)
            if found is None:
                return None
            head, where = clicks.line(found[0] - 2), clicks.line(found[0] - 1)
            if head.startswith(kind + " event"):
                return found[0], tuple(int(v) for v in re.search(r"root:\((\d+),(\d+)\)", where).groups())
            start = found[0] + 1

    def x_size(self, display):
        return tuple(int(v) for v in re.search(r"dimensions:\s+(\d+)x(\d+)", self.guest.sh(
            "xdpyinfo -display %s" % display)).groups())

    def x_press(self, display, clicks, line, position, panel=None, timeout=10):
        """One tap at position on line: ((pointer after it, root position of its press), ""), or
        (None, why not)."""
        mark = clicks.mark()
        self.tap(line, position, panel)
        press = self.click(clicks, "ButtonPress", 1, timeout, mark)
        release = press and self.click(clicks, "ButtonRelease", 1, timeout, press[0])
        where = self.guest.sh("DISPLAY=%s xdotool getmouselocation --shell" % display)
        pointer = tuple(int(re.search(r"^%s=(\d+)" % axis, where, re.M).group(1)) for axis in "XY")
        if press is None or release is None:
            return None, "no click of button 1 on the root window within 10 s; the pointer is at (%d, %d)" % pointer
        return (pointer, press[1]), ""

    @staticmethod
    def off(landed, want):
        """The largest distance, on either axis, of the pointer and the press from want."""
        return max(abs(v - w) for p in landed for v, w in zip(p, want))

    def x_tap(self, display, clicks, what, line):
        width, height = self.x_size(display)
        cx, cy = next(self.positions)
        landed, reason = self.x_press(display, clicks, line, (cx, cy))
        if landed is None:
            self.result(False, "X: " + what, reason)
            return
        dx, dy = pointer_position(cx, cy)
        want = (dx * (width - 1) / 65535, dy * (height - 1) / 65535)
        off = self.off(landed, want)
        self.result(off <= 1.0, "X (%dx%d): %s moved the pointer to (%d, %d) and clicked at (%d, %d), "
                    "the calibration's (%.1f, %.1f)" % ((width, height, what) + landed[0] + landed[1] + want),
                    "%.1f px off" % off)

    def x_repeat(self, display, clicks, what, line):
        """A tap at the place of the last one, after the cursor was moved away, clicks there."""
        width, height = self.x_size(display)
        cx, cy = next(self.positions)
        first, reason = self.x_press(display, clicks, line, (cx, cy))
        second = None
        if first:
            self.guest.sh("DISPLAY=%s xdotool mousemove 100 100" % display)
            second, reason = self.x_press(display, clicks, line, (cx, cy))
        if second is None:
            self.result(False, "X: " + what, reason)
            return
        dx, dy = pointer_position(cx, cy)
        want = (dx * (width - 1) / 65535, dy * (height - 1) / 65535)
        off = self.off(second, want)
        self.result(off <= 1.0, "X: %s clicked at (%d, %d), the calibration's (%.1f, %.1f)"
                    % ((what,) + second[1] + want), "%.1f px off" % off)

    def x_monitors(self, server, display, clicks):
        """Two 800x480 monitors side by side, DUMMY0 the panel's: calvex calibrates it with
        touchsim touching its targets, and taps then land on its pixels."""
        guest = self.guest
        what = "X, two monitors (DUMMY0 and DUMMY1, 800x480 each, side by side)"
        status, out, err = guest.run(
            "export DISPLAY=%s && xrandr --newmode 800x480 29.5 800 824 896 992 480 483 493 500 && "
            "xrandr --addmode DUMMY0 800x480 && xrandr --addmode DUMMY1 800x480 && xrandr --fb 1600x480 "
            "--output DUMMY0 --mode 800x480 --pos 0x0 --output DUMMY1 --mode 800x480 --pos 800x0" % display)
        failed = "xrandr: " + (err or out).strip() if status != 0 else \
            self.x_unit(server, "--port %s --pointer uinput --output DUMMY0" % self.by_id, POINTER)
        calibrated, text = False, ""
        if not failed:
            # As a member of norvik who may not open the tty: calvex reads it through devmgr.
            calvex = guest.watch("echo $$; DISPLAY=%s exec %s calvex --root %s 2>&1" % (display, AS_MEMBER, ROOT))
            try:
                calibrated, text, failed = self.x_calibrate(display, calvex)
            finally:
                calvex.stop()
        self.result(calibrated, "%s: calvex's 5-point calibration on DUMMY0 by %s, a member of norvik who may not "
                    "open the tty%s" % (what, MEMBER, text and ": " + text), failed)
        for when in ("after the calibration", "after systemctl restart %s" % UNIT):
            if calibrated and when != "after the calibration":
                mark = server.mark()
                guest.sh("systemctl restart %s" % UNIT)
                if self.x_device(server, POINTER, mark) is None:
                    failed = "X did not add \"%s\" within 30 s of the restart" % POINTER
                    calibrated = False
                # X logs the device as added a moment before its libinput driver has opened it, and
                # a tap in that moment is lost; what is checked here is where taps land afterwards.
                for _ in range(5):
                    if not calibrated or self.x_press(display, clicks, "usb", (monitor_point(160, 800),
                                                       monitor_point(120, 480)), MONITOR_PANEL, 2)[0]:
                        break
            if not calibrated:
                self.result(False, "%s: taps on DUMMY0 %s" % (what, when), failed)
                continue
            landed, offs = [], []
            for x, y in MONITOR_TAPS:
                press, failed = self.x_press(display, clicks, "usb", (monitor_point(x, 800), monitor_point(y, 480)),
                                             MONITOR_PANEL)
                if press is None:
                    break
                landed.append("(%d, %d)" % press[1])
                offs.append(self.off(press, (x, y)))
            ok = len(offs) == len(MONITOR_TAPS) and max(offs) <= 1.0
            self.result(ok, "%s: taps at %s of DUMMY0 %s moved the pointer and clicked at %s" % (
                what, ", ".join("(%d, %d)" % t for t in MONITOR_TAPS), when, ", ".join(landed) or "nothing"),
                failed if len(offs) < len(MONITOR_TAPS) else "%.1f px off" % max(offs))

    def x_calibrate(self, display, calvex):
        """calvex's 5-point calibration, begun with a click on its button, touched by touchsim:
        (stored, what it showed, why it failed)."""
        guest = self.guest
        pid = calvex.expect(r"^(\d+)$", 10)
        found = guest.run("DISPLAY=%s timeout 60 xdotool search --sync --onlyvisible --name '^Calvex$'" % display, 70)
        if pid is None or found[0] != 0:
            return False, "", "its main dialog did not show within 60 s: " + calvex.text()[-300:]
        window = found[1].split()[0]
        dialog = self.x_geometry(display, window)
        # "Calibrate 5pt" (1012): (401,42)-(511,82) of the main dialog's client area, which lies
        # under its 26-pixel caption.
        guest.sh("DISPLAY=%s xdotool mousemove --window %s 456 88 click 1" % (display, window))
        found = guest.run("DISPLAY=%s timeout 30 xdotool search --sync --onlyvisible --name '^Touch calibration$'"
                          % display, 40)
        if found[0] != 0:
            return False, "", "no calibration screen within 30 s of the click on \"Calibrate 5pt\" (the main " \
                "dialog at %s): %s" % (dialog, calvex.text()[-300:])
        screen = self.x_geometry(display, found[1].split()[0])
        touches = self.touchsim("usb", MONITOR_PANEL)
        touches.communicate("".join("hold %d %d 9\nlift\nwait 100\n" % (monitor_point(x, 800), monitor_point(y, 480))
                                    for x, y in ((100, 60), (700, 60), (100, 420), (700, 420), (400, 240))))
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

    def x_geometry(self, display, window):
        """A window's WIDTHxHEIGHT+X+Y on the X screen."""
        out = self.guest.sh("DISPLAY=%s xdotool getwindowgeometry --shell %s" % (display, window))
        value = dict(line.split("=", 1) for line in out.split())
        return "%sx%s+%s+%s" % (value["WIDTH"], value["HEIGHT"], value["X"], value["Y"])

    def weston(self):
        """Weston's DRM backend on the guest's VGA, with kiosk-shell, which makes every window fill
        the output: a tap on uinput-touch reaches a client as wl_touch.down at the pixel of the
        calibration's position."""
        guest = self.guest
        what = "Weston (DRM, pixman, kiosk-shell): a tap on uinput-touch"
        if guest.run("test -c /dev/dri/card0")[0] != 0:
            self.result(None, what, "the guest has no DRM device")
            return
        mark = self.libinput.stream.mark()
        guest.sh("systemctl stop %s && nrvctl --root %s init --force --pointer uinput-touch && systemctl start %s"
                 % (UNIT, ROOT, UNIT))
        if self.libinput.added(TOUCH, mark, 15) is None:
            self.result(False, what, "libinput got no device \"%s\" within 15 s of systemctl start" % TOUCH)
            return
        guest.sh("nrvctl --root %s set LLX=%d LLY=%d URX=%d URY=%d" % (ROOT, LLX, LLY, URX, URY))
        environment = "mkdir -p -m 700 /run/kernel-check/xdg && export XDG_RUNTIME_DIR=/run/kernel-check/xdg; "
        compositor = guest.watch(environment + "exec weston --backend=drm-backend.so --tty=2 --use-pixman "
                                 "--shell=kiosk-shell.so --no-config --socket=kernel-check --idle-time=0 2>&1")
        client = None
        try:
            if compositor.expect(r"%s: device is a touch device" % re.escape(TOUCH), 60) is None or \
                    compositor.expect(r"Output '[^']*' enabled", 60) is None:
                self.result(False, what, "Weston did not take the touch screen and enable an output within 60 s: "
                            + " / ".join(compositor.text().split("\n")[-6:]))
                return
            client = guest.watch(environment + "WAYLAND_DISPLAY=kernel-check WAYLAND_DEBUG=1 exec weston-fullscreen 2>&1")
            size = client.expect(r"xdg_toplevel@\d+\.configure\(([1-9]\d*), ([1-9]\d*),", 30)
            if size is None or client.expect(r"wl_surface@\d+\.enter\(", 30, size[0]) is None:
                self.result(False, what, "weston-fullscreen's window was not shown filling the output within 30 s: "
                            + " / ".join(client.text().split("\n")[-6:]))
                return
            width, height = (int(v) for v in size[2].groups())
            cx, cy = next(self.positions)
            start = client.mark()
            self.tap("usb", (cx, cy))
            down = client.expect(r"wl_touch@\d+\.down\(\d+, \d+, wl_surface@\d+, -?\d+, (-?[\d.]+), (-?[\d.]+)\)",
                                 10, start)
            # libinput puts an absolute value v of a touch screen at v * size / 65536 of the output.
            dx, dy = pointer_position(cx, cy)
            want = (dx * width / 65536, dy * height / 65536)
            if down is None:
                self.result(False, what, "no wl_touch.down within 10 s")
                return
            at = tuple(float(v) for v in down[2].groups())
            off = max(abs(v - w) for v, w in zip(at, want))
            self.result(off <= 1.0, "%s reached a client (%dx%d) as wl_touch.down at (%.1f, %.1f), the "
                        "calibration's (%.1f, %.1f)" % ((what, width, height) + at + want), "%.1f px off" % off)
        finally:
            if client is not None:
                client.stop()
            compositor.stop()

    def checks(self):
        guest = self.guest
        print("kernel: booted Linux %s under QEMU (%s) with systemd (%s) in %.1f s" % (
            guest.boot["kernel"], guest.accel.upper(), guest.boot["ready"], self.booted), flush=True)
        # man-db's trigger would rebuild the manual pages' index, a minute under TCG: its
        # switch for that is this file, in the overlay only.
        guest.sh("rm -f /var/lib/man-db/auto-update && dpkg -i %s" % self.options.deb, timeout=120)
        # As install.md says: the module at boot from now on, and loaded now.
        guest.sh("echo uinput >/etc/modules-load.d/norvik.conf && modprobe uinput && udevadm settle")
        acl = [l for l in guest.run("getfacl -p /dev/uinput")[1].split("\n") if l.startswith("user:")]
        self.result("user:norvikd:rw-" in acl, "the udev rule 90-norvik-uinput.rules gave /dev/uinput to "
                    "norvikd (ACL %s)" % (", ".join(acl) or "none"))
        self.libinput = Libinput(guest)
        # A member as install.md makes one: in norvik only, so the controller's tty is not his.
        guest.sh("useradd -M -G norvik %s" % MEMBER)

        # The 16550, first with the absolute pointer, then with the touch screen.
        guest.sh("nrvctl --root %s init --port /dev/ttyS1 --pointer uinput" % ROOT)
        node = self.unit_checks("uinput")
        guest.sh("nrvctl --root %s set LLX=%d LLY=%d URX=%d URY=%d" % (ROOT, LLX, LLY, URX, URY))
        self.position("the 16550 (/dev/ttyS1)", "uart", node)
        guest.sh("systemctl stop %s && nrvctl --root %s init --force --pointer uinput-touch" % (UNIT, ROOT))
        self.unit_checks("uinput-touch")

        # The USB serial adapter, by its stable name.
        links = guest.sh("ls /dev/serial/by-id/").split()
        names = [l for l in links if l.startswith("usb-QEMU_") and l.endswith("_%s-if00-port0" % ADAPTER_SERIAL)]
        if not names:
            raise CheckFailed("no /dev/serial/by-id link of the adapter: %s" % links)
        self.by_id = "/dev/serial/by-id/" + names[0]
        mark = self.libinput.stream.mark()
        guest.sh("systemctl stop %s && nrvctl --root %s init --force --port %s --pointer uinput && "
                 "systemctl start %s" % (UNIT, ROOT, self.by_id, UNIT))
        added = self.libinput.added(POINTER, mark, 15)
        self.position(self.by_id, "usb", added and added[2])
        self.replugs()
        self.late_plug()
        self.hotplug_rule()
        self.planted_entry()
        self.holder_named()
        self.x_server()
        self.weston()

def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--agent", action="store_true")
    for option in ("--kernel", "--initramfs", "--modules", "--deb", "--touchsim"):
        parser.add_argument(option)
    options = parser.parse_args()
    if options.agent:
        return agent()

    began = time.monotonic()

    def stop(number, frame):
        raise CheckFailed("took longer than %d s" % TOTAL_LIMIT_S if number == signal.SIGALRM
                          else "ended by signal %d" % number)
    for number in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT, signal.SIGALRM):
        signal.signal(number, stop)
    signal.alarm(TOTAL_LIMIT_S)
    run = Run(options)
    work = tempfile.mkdtemp(prefix="norvik-kernel.")
    guest = None
    try:
        guest = run.guest = Guest(options, work)
        run.booted = time.monotonic() - began
        run.checks()
    except Exception as failure:  # CheckFailed, or a fault of this program: either way a failure
        run.result(False, "the stage stopped", str(failure) or repr(failure))
    finally:
        signal.alarm(0)
        if guest is not None:
            guest.close()
        shutil.rmtree(work, ignore_errors=True)
    print("kernel: all checks took %.0f s, boot included" % (time.monotonic() - began))
    print("%d passed, %d failed" % (run.passed, run.failed) + (", %d skipped" % run.skipped if run.skipped else ""))
    return 1 if run.failed else 0


if __name__ == "__main__":
    sys.exit(main())
