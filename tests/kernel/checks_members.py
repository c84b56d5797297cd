"""What a member of norvik can and cannot do to the others under the unit: a file in the way of the
unit's socket, and a program that keeps the driver's one handle."""
from harness import AS_MEMBER, MEMBER, ROOT, UNIT, check


@check("planted-entry", "a file a member made at run/device.NRV1 while the unit was stopped does not keep it "
                        "from publishing, and the journal names whose it was")
def planted_entry(stage):
    """A member of norvik makes a file where the unit's socket goes while it is stopped (as a
    program that polls run/ wins the gap of a restart): the next start clears it and runs."""
    guest = stage.guest
    stage.unit("uart", "uinput")
    stage.changed_unit()
    path = "%s/run/device.NRV1" % ROOT
    guest.sh("systemctl stop %s && %s touch %s && systemctl start %s" % (UNIT, AS_MEMBER, path, UNIT))
    state = guest.run("systemctl is-active %s" % UNIT)[1].strip()
    # journald may take the line from devmgr's stderr after systemd has taken its READY=1.
    journal = guest.run("for i in $(seq 50); do journalctl -u %s --no-pager -o cat | grep -F 'removed %s, a "
                        "file of %s' && break; sleep 0.1; done" % (UNIT, path, MEMBER))[1].strip()
    answered = guest.run("%s nrvctl --root %s settings" % (AS_MEMBER, ROOT))[0] == 0
    stage.result(state == "active" and bool(journal) and answered,
                 "a file a member made at run/device.NRV1 while the unit was stopped: the unit is %s%s" % (
                     state, ", the journal says " + journal.split("\n")[-1].split("devmgr: ")[-1] if journal else ""),
                 "the journal names no removed file" if not journal else
                 "the member's nrvctl settings failed" if not answered else "")


@check("holder-named", "a member's program holds NRV1:'s one handle: root's nrvctl stop is refused and names "
                       "him by user, program and pid")
def holder_named(stage):
    """A member's program keeps the driver's one handle open: root's nrvctl stop is refused and
    names him as the unit's devmgr sees him, by user, program (as it names itself: the unit
    hides other users' processes) and pid. The program speaks NRV1:'s protocol itself: an
    open request (operation 1, read and write access, the in buffer its name), then nothing."""
    guest = stage.guest
    stage.unit("uart", "uinput")
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
    stage.result(want in said, "a member's program holds NRV1:'s one handle: root's nrvctl stop is refused with "
                 "\"%s\"" % (said.replace("nrvctl: ", "", 1) or "nothing"),
                 "" if want in said else "the refusal does not say " + want + ": " + holder.text()[-200:])
