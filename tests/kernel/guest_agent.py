#!/usr/bin/python3
"""The guest's side of scripts/check-kernel: a unit of the guest's systemd (tests/kernel/guest-init)
that runs the host's commands, sent as JSON lines over the virtio port "kernel-check", and streams
the output of long-running ones (libinput debug-events, Xorg, xev) line by line as it comes.
"""
import glob
import json
import os
import signal
import subprocess
import sys
import threading
import time

PORT_NAME = "kernel-check"


def main():
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


if __name__ == "__main__":
    main()
