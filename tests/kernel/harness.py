"""The host's side of scripts/check-kernel: one QEMU guest on this machine's root filesystem (9p,
read-only, under a tmpfs overlay; tests/kernel/guest-init), with QEMU's FTDI USB serial adapter and a
16550 UART behind host pseudo-terminals and a QMP monitor for hot-plug; the accelerator it runs on,
chosen by trying KVM; and the stage the checks run in: their results, the touches they send, and
the set-ups they share (the package installed, the unit on a given port and pointer output).
"""
import ctypes
import itertools
import json
import os
import re
import signal
import socket
import subprocess
import threading
import time
import termios
import tty

PORT_NAME = "kernel-check"
ROOT = "/var/lib/norvik/touch0"
UNIT = "norvik@touch0"
MEMBER = "calmember"
AS_MEMBER = "setpriv --reuid=%s --regid=%s --init-groups --" % (MEMBER, MEMBER)
# A member who may also open the serial ttys (dialout), as many first users of a Debian machine are.
DIALOUT_MEMBER = "dialmember"
ADAPTER_SERIAL = "A1B2C3"  # the example hotplug rule's serial number, so the rule matches as shipped
# The calibration the position checks store: corners in raw position / 32, as nrvctl set takes them.
LLX, LLY, URX, URY = 200, 300, 1800, 1700
POINTER = "Norvik touch screen pointer"
TOUCH = "Norvik touch screen"
PR_SET_PDEATHSIG = 1
# How long a guest on KVM may take from QEMU's start to its init before KVM is taken for broken.
KVM_PROBE_S = 20
QEMU = "qemu-system-x86_64"


class CheckFailed(Exception):
    pass


class CheckSkipped(Exception):
    """What a check needs cannot be had in this guest (no DRM device, an X server that did not
    start): the check is reported as skipped, with the reason."""


# ------------------------------------------------------------------------------ the accelerator

def choose_accelerator(kernel, initramfs, work):
    """("kvm" or "tcg", the line that says which and why). NORVIK_KERNEL_ACCEL forces one;
    otherwise KVM only where a guest was seen to run on it."""
    forced = os.environ.get("NORVIK_KERNEL_ACCEL", "")
    if forced:
        if forced not in ("kvm", "tcg"):
            raise CheckFailed("NORVIK_KERNEL_ACCEL=%s: give tcg or kvm, or leave it unset to try KVM and fall "
                              "back to TCG" % forced)
        return forced, "%s: forced by NORVIK_KERNEL_ACCEL" % forced.upper()
    if not os.path.exists("/dev/kvm"):
        return "tcg", "KVM: this machine has no /dev/kvm; using TCG"
    if not os.access("/dev/kvm", os.R_OK | os.W_OK):
        return "tcg", "KVM: /dev/kvm is not readable and writable here; using TCG"
    began = time.monotonic()
    why = probe_kvm(kernel, initramfs, work)
    if why:
        return "tcg", "KVM: %s; using TCG" % why
    return "kvm", "KVM: a guest reached its init on it in %.1f s; using KVM" % (time.monotonic() - began)


def probe_kvm(kernel, initramfs, work):
    """Boots the kernel on KVM to the initramfs's init, which says so and powers off (guest-init's
    kcheck_probe); "" when it did, else why not."""
    console = os.path.join(work, "probe-console.log")
    command = [QEMU, "-accel", "kvm", "-cpu", "host", "-m", "256", "-smp", "1", "-nodefaults",
               "-no-user-config", "-display", "none", "-no-reboot", "-kernel", kernel, "-initrd", initramfs,
               "-append", "console=ttyS0 panic=-1 loglevel=1 kcheck_probe=1",
               "-chardev", "file,id=console,path=" + console, "-serial", "chardev:console"]
    with open(os.path.join(work, "probe-qemu.log"), "w+b") as log:
        try:
            qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                    preexec_fn=lambda: ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL))
        except OSError as error:
            return "%s cannot be started (%s)" % (QEMU, error.strerror)
        limit = time.monotonic() + KVM_PROBE_S
        answered = False
        while time.monotonic() < limit and qemu.poll() is None and not answered:
            time.sleep(0.1)
            answered = "kcheck: the probe's guest runs" in read_text(console)
        if qemu.poll() is None:
            if not answered:
                qemu.kill()
            try:
                qemu.wait(10)
            except subprocess.TimeoutExpired:
                qemu.kill()
                qemu.wait()
        answered = answered or "kcheck: the probe's guest runs" in read_text(console)
        log.seek(0)
        said = log.read().decode(errors="replace")
    if answered:
        return ""
    msr = re.search(r"failed to set MSR 0x[0-9a-fA-F]+", said)
    if msr:
        return "QEMU aborted: " + msr.group(0)
    if qemu.returncode not in (0, -signal.SIGKILL):
        first = next((line.strip() for line in said.split("\n") if line.strip()), "no output")
        return "QEMU exited with status %d: %s" % (qemu.returncode, first)
    return "QEMU started, but its guest did not reach its init within %d s" % KVM_PROBE_S


def read_text(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


# -------------------------------------------------------------------------------------- the guest

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

    def __init__(self, options, work, accel):
        self.work, self.accel = work, accel
        self.replies, self.streams, self.next_id = {}, {}, 0
        self.answered = threading.Condition()
        self.events, self.event_seen = [], threading.Condition()
        here = os.path.dirname(os.path.abspath(__file__))
        append = " ".join([
            "console=ttyS0,115200", "panic=-1", "loglevel=4", "mitigations=off",
            "random.trust_cpu=on", "usbcore.autosuspend=-1",
            "systemd.show_status=0", "kcheck_init=" + os.path.join(here, "guest-init"),
            "kcheck_modules=" + options.modules, "kcheck_agent=" + os.path.join(here, "guest_agent.py")])
        # port=1: the adapter comes back on the same socket after each replug.
        self.adapter = {"driver": "usb-serial", "id": "adapter", "bus": "xhci.0", "port": "1",
                        "chardev": "usb", "serial": ADAPTER_SERIAL}
        command = [
            QEMU, "-accel", accel, "-cpu", "host" if accel == "kvm" else "max",
            "-m", "1024", "-smp", "1", "-nodefaults", "-no-user-config", "-display", "none",
            "-no-reboot", "-kernel", options.kernel, "-initrd", options.initramfs, "-append", append,
            "-chardev", "file,id=console,path=%s/console.log" % work, "-serial", "chardev:console",
            "-chardev", "pty,id=uart", "-serial", "chardev:uart",
            "-fsdev", "local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap",
            "-device", "virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot",
            "-device", "virtio-rng-pci", "-vga", "std",
            # A second display adapter with two heads, for the compositors that put the touch on
            # one monitor of two; the first stays the boot display the others take.
            "-device", "virtio-gpu-pci,max_outputs=2",
            "-device", "virtio-serial-pci",
            "-chardev", "socket,id=agent,path=%s/agent.sock,server=on,wait=off" % work,
            "-device", "virtserialport,chardev=agent,name=" + PORT_NAME,
            "-device", "qemu-xhci,id=xhci", "-chardev", "pty,id=usb",
            "-device", ",".join(["usb-serial"] + ["%s=%s" % kv for kv in self.adapter.items()
                                                  if kv[0] != "driver"]),
            "-qmp", "unix:%s/qmp.sock,server=on,wait=off" % work]
        self.log = open(os.path.join(work, "qemu.log"), "wb")
        self.lines = {}
        self.received = {}  # bytes the guest sent on each line, which the host reads and counts
        self.plugged = True
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
                self.received[chardev["label"]] = 0
                threading.Thread(target=self._drop_input, args=(chardev["label"], fd), daemon=True).start()
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
                    raise CheckFailed("QEMU (%s) did not open its socket %s: %s; see QEMU's output: %s"
                                      % (self.accel.upper(), name, "it exited with status %s" % self.qemu.poll()
                                         if self.qemu.poll() is not None else "not within 30 s",
                                         self.tail("qemu.log").strip() or "none"))
                time.sleep(0.05)

    def _drop_input(self, label, fd):
        while True:
            try:
                data = os.read(fd, 4096)
                if not data:
                    return
                with self.answered:
                    self.received[label] += len(data)
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
                    raise CheckFailed("the guest did not answer within %d s (QEMU %s, %s); console:\n%s"
                                      % (timeout, "exited" if self.qemu.poll() is not None else "runs",
                                         self.accel.upper(), self.tail("console.log")))
                self.answered.wait(min(left, 1))
            return self.replies.pop(key)

    def alive(self):
        return self.qemu.poll() is None

    def tail(self, name):
        return read_text(os.path.join(self.work, name))[-3000:]

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
        self.plugged = False

    def plug(self):
        """device_add of the adapter; the host time just before it."""
        moment = time.monotonic()
        self.monitor("device_add", **self.adapter)
        self.plugged = True
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


# ------------------------------------------------------------------------------------ the checks

CHECKS = []  # (name, function, what it checks), in the order a whole run takes them


def check(name, what):
    """Registers a check: a function of the stage that sets up what it needs and reports with
    stage.result."""
    def register(function):
        CHECKS.append((name, function, what))
        return function
    return register


class Stage:
    """What the checks share: the guest, the results, the touches, and set-ups made on demand."""

    def __init__(self, options, guest):
        self.options, self.guest = options, guest
        self.passed = self.failed = self.skipped = 0
        self.current = ""
        self.failed_here = False
        # Each tap somewhere new: the kernel drops an absolute value equal to the last one.
        self.positions = ((1200 + i * 997 % 14000, 1300 + i * 1361 % 14000) for i in itertools.count(1))
        self.configured = None
        self.by_id = None
        self.x = None
        self.libinput = None
        self.ends = []  # what set-ups started and the run stops at its end, newest last

    # -------------------------------------------------------------------------------- results

    def result(self, ok, text, reason=""):
        label = "kernel: [%s] %s" % (self.current, text) if self.current else "kernel: " + text
        if ok is None:
            self.skipped += 1
            print("%s: skipped (%s)" % (label, reason), flush=True)
        elif ok:
            self.passed += 1
            print("%s: ok" % label, flush=True)
        else:
            self.failed += 1
            self.failed_here = True
            print("%s: FAILED%s" % (label, " (%s)" % reason if reason else ""), flush=True)

    def run_check(self, name, function):
        """Runs one check; on a failure, prints the guest's journal of the check's own time."""
        self.current, self.failed_here = name, False
        cursor = self.journal_cursor()
        try:
            function(self)
        except CheckSkipped as reason:
            self.result(None, "the check", str(reason))
        except Exception as failure:  # CheckFailed, or a fault of the check: a failure either way
            self.result(False, "the check stopped", str(failure) or repr(failure))
        if self.failed_here and self.guest.alive():
            print(self.journal_since(cursor), flush=True)
        self.current = ""

    def journal_cursor(self):
        status, out, _ = self.guest.run("journalctl -n 0 --show-cursor --no-pager -q")
        found = re.search(r"-- cursor: (\S+)", out)
        return found.group(1) if status == 0 and found else None

    def journal_since(self, cursor, most=60):
        if cursor is None:
            return "    (no journal cursor was taken at the check's start)"
        status, out, err = self.guest.run("journalctl --after-cursor='%s' --no-pager -o short-monotonic -q | tail -n %d"
                                          % (cursor, most))
        lines = (out if status == 0 else err).rstrip("\n").split("\n")
        return "\n".join(["    the guest's journal during [%s], its last %d lines:" % (self.current, most)] +
                         ["    | " + line for line in lines if line])

    # ------------------------------------------------------------------------------- touches

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

    def sent_on(self, line):
        """How many bytes the guest has sent on a line so far, as the host end read them."""
        with self.guest.answered:
            return self.guest.received[line]

    def main_pid(self):
        return self.guest.sh("systemctl show -P MainPID %s" % UNIT).strip()

    # ------------------------------------------------------------------------------- set-ups

    def base(self, boot_seconds):
        """Once per boot: the package installed as install.md says, uinput loaded, libinput
        watched, and a member as install.md makes one."""
        guest = self.guest
        print("kernel: booted Linux %s under QEMU (%s) with systemd (%s) in %.1f s" % (
            guest.boot["kernel"], guest.accel.upper(), guest.boot["ready"], boot_seconds), flush=True)
        # man-db's trigger would rebuild the manual pages' index, a minute under TCG: its
        # switch for that is this file, in the overlay only.
        guest.sh("rm -f /var/lib/man-db/auto-update && dpkg -i %s" % self.options.deb, timeout=120)
        # As install.md says: the module at boot from now on, and loaded now.
        guest.sh("echo uinput >/etc/modules-load.d/norvik.conf && modprobe uinput && udevadm settle")
        self.libinput = Libinput(guest)
        # In norvik only, so the controller's tty is not his; and one in dialout too.
        guest.sh("useradd -M -G norvik %s && useradd -M -G norvik,dialout %s" % (MEMBER, DIALOUT_MEMBER))

    def adapter_link(self):
        """The adapter's stable name under /dev/serial/by-id, plugged in first if a check left it out."""
        if not self.guest.plugged:
            self.guest.plug()
        if self.by_id is None:
            links = self.guest.sh("udevadm settle; ls /dev/serial/by-id/").split()
            names = [l for l in links if l.startswith("usb-QEMU_") and l.endswith("_%s-if00-port0" % ADAPTER_SERIAL)]
            if not names:
                raise CheckFailed("no /dev/serial/by-id link of the adapter: %s" % links)
            self.by_id = "/dev/serial/by-id/" + names[0]
        return self.by_id

    def init_root(self, options):
        """The unit stopped and its device root made anew by `nrvctl init OPTIONS`."""
        self.configured = None
        self.guest.sh("systemctl stop %s && rm -rf %s && nrvctl --root %s init %s" % (UNIT, ROOT, ROOT, options))

    def unit(self, line, pointer, output=None, calibrated=True, more=""):
        """The unit running on a fresh device root for line ("uart": the 16550, "usb": the adapter)
        and pointer output, with the stored calibration of pointer_position; the libinput node of
        its device (None for outputs libinput does not see, or when it did not come). more: further
        options of nrvctl init."""
        port = "/dev/ttyS1" if line == "uart" else self.adapter_link()
        wanted = (port, pointer, output, calibrated, more)
        active = self.guest.run("systemctl is-active %s" % UNIT)[1].strip() == "active"
        if self.configured and self.configured[0] == wanted and active:
            return self.configured[1]
        self.init_root("--port %s --pointer %s%s %s" % (port, pointer, " --output " + output if output else "", more))
        mark = self.libinput.stream.mark()
        self.guest.sh("systemctl start %s" % UNIT)
        node = None
        if pointer in ("uinput", "uinput-touch"):
            added = self.libinput.added(TOUCH if pointer == "uinput-touch" else POINTER, mark, 15)
            node = added and added[2]
        if calibrated:
            self.guest.sh("nrvctl --root %s set LLX=%d LLY=%d URX=%d URY=%d" % (ROOT, LLX, LLY, URX, URY))
        self.configured = (wanted, node)
        return node

    def at_end(self, stop):
        self.ends.append(stop)

    def end(self):
        while self.ends:
            try:
                self.ends.pop()()
            except Exception as failure:  # the guest may be gone; nothing is left to check
                print("kernel: a set-up could not be stopped: %s" % (str(failure) or repr(failure)), flush=True)

    def changed_unit(self):
        """A check changed the unit behind the set-up's back: the next unit() makes it anew."""
        self.configured = None
