#!/usr/bin/python3
"""The installed package on a real kernel (scripts/check-kernel prepares the kernel and runs this).

Boots one QEMU guest (harness.py), on KVM where a short probe shows a guest runs there and on TCG
otherwise, installs the package in it, then runs the checks (checks_*.py), each of which sets up
what it needs, and prints one line per result and "N passed, M failed". --list names the checks;
--only NAME... runs those alone, in the order given. A check that fails is followed by the guest's
journal of its own time.
"""
import argparse
import shutil
import signal
import sys
import tempfile
import time

import checks_service  # noqa: F401  (each checks_ module registers its checks)
import checks_adapter  # noqa: F401
import checks_members  # noqa: F401
import checks_x  # noqa: F401
import checks_wayland  # noqa: F401
import checks_sway  # noqa: F401
import checks_desktops  # noqa: F401
from harness import CHECKS, Guest, Stage, choose_accelerator

TOTAL_LIMIT_S = 900


class StageStopped(BaseException):
    """The stage's time ran out or it was interrupted: no check catches it."""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", action="store_true", help="name the checks and what each checks, then exit")
    parser.add_argument("--only", nargs="+", metavar="NAME", help="run these checks alone, in this order")
    for option in ("--kernel", "--initramfs", "--modules", "--deb", "--touchsim"):
        parser.add_argument(option)
    options = parser.parse_args()
    names = [name for name, _, _ in CHECKS]
    selected = CHECKS
    if options.only:
        unknown = [name for name in options.only if name not in names]
        if unknown:
            print("check-kernel: no check named %s; scripts/check-kernel --list names them"
                  % ", ".join(unknown), file=sys.stderr)
            return 2
        selected = [next(c for c in CHECKS if c[0] == name) for name in options.only]
    if options.list:
        width = max(len(name) for name, _, _ in selected)
        for name, _, what in selected:
            print("%-*s  %s" % (width, name, what))
        return 0

    began = time.monotonic()

    def stop(number, frame):
        raise StageStopped("took longer than %d s" % TOTAL_LIMIT_S if number == signal.SIGALRM
                           else "ended by signal %d" % number)
    for number in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT, signal.SIGALRM):
        signal.signal(number, stop)
    signal.alarm(TOTAL_LIMIT_S)
    work = tempfile.mkdtemp(prefix="norvik-kernel.")
    guest = stage = None
    accel = why = None
    passed = failed = skipped = 0
    try:
        accel, why = choose_accelerator(options.kernel, options.initramfs, work)
        print("kernel: " + why, flush=True)
        guest = Guest(options, work, accel)
        stage = Stage(options, guest)
        stage.base(time.monotonic() - began)
        for name, function, _ in selected:
            if not guest.alive():
                stage.result(False, "[%s] not run" % name, "QEMU ended: " + guest.tail("qemu.log").strip())
                continue
            stage.run_check(name, function)
    except (Exception, StageStopped) as failure:  # CheckFailed, or a fault of this program: a failure
        message = str(failure) or repr(failure)
        if stage is None:
            hint = ("; KVM was forced by NORVIK_KERNEL_ACCEL: set it to tcg, or unset it to try KVM and fall back "
                    "to TCG" if accel == "kvm" and "forced" in why else
                    "; KVM ran the probe's guest but not this one: run again with NORVIK_KERNEL_ACCEL=tcg"
                    if accel == "kvm" else
                    "; scripts/check-kernel needs qemu-system-x86 and Debian's kernel package (it installs and "
                    "fetches them as root), and a guest under TCG needs about 1 GiB of memory and a minute to boot"
                    if accel == "tcg" else "")
            print("kernel: the stage stopped: FAILED (%s%s)" % (message, hint), flush=True)
            failed += 1
        else:
            stage.result(False, "the stage stopped", message)
    finally:
        signal.alarm(0)
        if stage is not None:
            if guest.alive():
                stage.end()
            passed, failed, skipped = stage.passed, stage.failed + failed, stage.skipped
        if guest is not None:
            guest.close()
        shutil.rmtree(work, ignore_errors=True)
    print("kernel: all checks took %.0f s, boot included" % (time.monotonic() - began))
    print("%d passed, %d failed" % (passed, failed) + (", %d skipped" % skipped if skipped else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
