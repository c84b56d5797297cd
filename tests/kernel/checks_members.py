"""What a member of norvik can and cannot do to the others under the unit: a file in the way of the
unit's socket, and a program that keeps the driver's one handle."""
from harness import AS_MEMBER, MEMBER, ROOT, UNIT, check

# The name a member's program claims, made to pass for the holders' structure, and as devmgr shows
# it: the user and pid from the kernel, the name marked as claimed, its separators escaped.
FORGED = "x, pid 1); bob (calvex"
FORGED_SHOWN = "x\\x2c pid 1\\x29\\x3b bob \\x28calvex"


@check("planted-entry", "what a member makes at run/device.NRV1 while the unit is stopped (a file, a folder with "
                        "something in it, a file made again and again by two processes) does not keep it from "
                        "publishing, and the journal names whose it was")
def planted_entry(stage):
    """A member of norvik makes an entry where the unit's socket goes while it is stopped (as a
    program that polls run/ wins the gap of a restart): the next start puts its socket there all
    the same and runs."""
    guest = stage.guest
    stage.unit("uart", "uinput")
    stage.changed_unit()
    path = "%s/run/device.NRV1" % ROOT
    racers = "for i in 1 2; do %s sh -c 'while :; do : >>%s 2>/dev/null; done' & done" % (AS_MEMBER, path)
    cases = (("a file", "%s touch %s" % (AS_MEMBER, path), "removed %s, a file of %s" % (path, MEMBER)),
             ("a folder with a file in it", "%s sh -c 'mkdir %s && touch %s/inside'" % (AS_MEMBER, path, path),
              "moved %s, a folder of %s" % (path, MEMBER)),
             ("a file two of the member's processes make again in a loop", racers, None))
    for what, make, said in cases:
        cursor = stage.journal_cursor()
        try:
            guest.sh("systemctl stop %s && { %s; } && systemctl start %s" % (UNIT, make, UNIT))
            state = guest.run("systemctl is-active %s" % UNIT)[1].strip()
            answered = guest.run("%s nrvctl --root %s settings" % (AS_MEMBER, ROOT))[0] == 0
        finally:
            guest.run("pkill -u %s -f 'while :; do'" % MEMBER)
        # journald may take the line from devmgr's stderr after systemd has taken its READY=1.
        journal = "" if said is None else guest.run(
            "for i in $(seq 50); do journalctl --after-cursor='%s' -u %s --no-pager -o cat | grep -F '%s' && break; "
            "sleep 0.1; done" % (cursor, UNIT, said))[1].strip()
        stage.result(state == "active" and answered and (said is None or bool(journal)),
                     "%s at run/device.NRV1, made by a member while the unit was stopped: the unit is %s%s" % (
                         what, state, ", the journal says " + journal.split("\n")[-1].split("devmgr: ")[-1]
                         if journal else ""),
                     "the journal does not say " + said if said and not journal else
                     "the member's nrvctl settings failed" if not answered else "")
        guest.run("rm -rf %s/run/.[a-z0-9]*" % ROOT)


@check("holder-named", "a member's program holds NRV1:'s one handle under a name made to look like two holders: "
                       "root's nrvctl stop is refused and names him by user, the program he claims and pid")
def holder_named(stage):
    """A member's program keeps the driver's one handle open: root's nrvctl stop is refused and
    names him as the unit's devmgr sees him, by user, program (as it names itself: the unit
    hides other users' processes) and pid. The program speaks NRV1:'s protocol itself: an
    open request (operation 1, read and write access, the in buffer its name), then nothing."""
    guest = stage.guest
    stage.unit("uart", "uinput")
    holder = guest.watch(
        "echo $$; exec %s python3 -c \"import socket, struct, time; s = socket.socket(socket.AF_UNIX, "
        "socket.SOCK_SEQPACKET); s.connect('%s/run/device.NRV1'); name = b'%s'; s.send(struct.pack('8I', 1, "
        "0xC0000000, 0, 1, len(name), 0, 0, 0) + name); print('opened', struct.unpack('4I', s.recv(64)[:16])[0], "
        "flush=True); time.sleep(60)\"" % (AS_MEMBER, ROOT, FORGED))
    said, pid = "", None
    try:
        pid = holder.expect(r"^(\d+)$", 10)
        opened = holder.expect(r"^opened 1$", 10)
        if pid and opened:
            err = guest.run("nrvctl --root %s stop" % ROOT)[2]
            said = next((line for line in err.split("\n") if "error 110" in line), err.strip())
    finally:
        holder.stop()
    want = "held by %s (program \"%s\", claimed, pid %s)" % (MEMBER, FORGED_SHOWN, pid[2].group(1) if pid else "?")
    stage.result(want in said, "a member's program holds NRV1:'s one handle: root's nrvctl stop is refused with "
                 "\"%s\"" % (said.replace("nrvctl: ", "", 1) or "nothing"),
                 "" if want in said else "the refusal does not say " + want + ": " + holder.text()[-200:])


# A borrower of COM1: as a member's own program would be, speaking the device protocol itself: it
# opens the lent port, sets 300 baud, tries to send a command, then reads until its loan ends,
# printing each step.
BORROWER = r'''
import socket, struct, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.connect(sys.argv[1])
def call(op, code=0, argument=0, data=None, out=0):
    flags = (1 if data is not None else 0) | (2 if out else 0)
    body = data or b""
    pad = b"\0" * ((-(32 + len(body))) % 16 if out else 0)
    s.send(struct.pack("8I", op, code, argument, flags, len(body), out, 0, 0) + body + pad + b"\0" * out)
    reply = s.recv(65600)
    if len(reply) < 16:
        return None, 1167, b""
    result, error, _, length = struct.unpack("4I", reply[:16])
    return result, error, reply[16:16 + length]
print("opened", call(1, 0xC0000000, 0, b"borrower")[0], flush=True)
result, error, dcb = call(2, 0x1B0050, out=28)
dcb = dcb[:4] + struct.pack("I", 300) + dcb[8:]
print("rate 300 set", call(2, 0x1B0054, data=dcb)[0], flush=True)
print("write", *call(4, data=b"\x02SET RATE 300\x03")[:2], flush=True)
call(2, 0x1B003C, data=struct.pack("5I", 0xFFFFFFFF, 0xFFFFFFFF, 2000, 0, 0))
while True:
    result, error, data = call(3, argument=64)
    if result == 0xFFFFFFFF or result is None:
        print("ended", error, flush=True)
        break
    if data:
        print("read", data.hex(), flush=True)
'''


@check("loan", "a member borrows COM1: on the 16550 and on the USB adapter: sets 300 baud, may not send, reads "
               "taps; root's nrvctl start takes the port back within 1 s, the driver reads at its own rate, and "
               "the journal names the borrower once")
def loan(stage):
    guest = stage.guest
    for line in ("uart", "usb"):
        node = stage.unit(line, "uinput")
        tty = guest.sh("readlink -f %s" % ("/dev/ttyS1" if line == "uart" else stage.adapter_link())).strip()
        what = "%s lent to %s" % (tty, MEMBER)
        guest.sh("nrvctl --root %s stop" % ROOT)
        cursor = stage.journal_cursor()
        sent = stage.sent_on(line)
        borrower = guest.watch("exec %s python3 -c '%s' %s/run/device.COM1" % (AS_MEMBER, BORROWER.replace("'", "'\\''"),
                                                                              ROOT))
        try:
            steps = borrower.expect(r"^write (\d+) (\d+)$", 30)
            rate = guest.run("stty -F %s speed" % tty)[1].strip()
            refused = steps is not None and steps[2].group(2) == "5" and stage.sent_on(line) == sent
            stage.result(refused and rate == "300", "%s: the borrower set %s baud; his write was refused with "
                         "error %s and %d bytes reached the controller's side" % (
                             what, rate or "?", steps[2].group(2) if steps else "?", stage.sent_on(line) - sent),
                         "" if refused and rate == "300" else borrower.text()[-300:])
            mark = borrower.mark()
            stage.tap(line)
            read = borrower.expect(r"^read ([0-9a-f]+)$", 10, mark)
            stage.result(read is not None, "%s: the borrower read the controller's tap (%s)" % (
                what, read[2].group(1) if read else "nothing"), "" if read else borrower.text()[-300:])
            timed = guest.run("s=$(date +%%s%%N); nrvctl --root %s start; r=$?; e=$(date +%%s%%N); "
                              "echo $r $(( (e - s) / 1000000 ))" % ROOT)[1].split()
            ended = borrower.expect(r"^ended (\d+)$", 10, mark)
            rate = guest.run("stty -F %s speed" % tty)[1].strip()
            mark = stage.libinput.stream.mark()
            stage.tap(line)
            landed = node and stage.libinput.tap_seen(node, False, mark, 10)
            named = guest.run("journalctl --after-cursor='%s' -u %s --no-pager -o cat | grep -c 'took the port back "
                              "from %s'" % (cursor, UNIT, MEMBER))[1].strip()
            ok = timed[:1] == ["0"] and int(timed[1]) <= 1000 and ended is not None and rate == "9600" and \
                bool(landed) and named == "1"
            stage.result(ok, "%s: root's nrvctl start took it back in %s ms (status %s), the borrower's loan ended "
                         "(error %s), the driver reads at %s baud, a tap %s, and the journal named the borrower %s "
                         "time(s)" % (what, timed[1] if len(timed) > 1 else "?", timed[0] if timed else "?",
                                      ended[2].group(1) if ended else "none", rate or "?",
                                      "reached libinput" if landed else "did not reach libinput", named),
                         "" if ok else borrower.text()[-300:])
        finally:
            borrower.stop()
            stage.changed_unit()
