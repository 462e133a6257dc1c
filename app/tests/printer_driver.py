#!/usr/bin/env python3
"""Plays the virtual printer for the printer-job tests.

printer_driver.py FOLDER STREAM [--truncate N]

Waits for the hand-off file in FOLDER, reads the job path from it, and writes
the page stream from the file STREAM to that path while holding an exclusive
flock on it: the job appears already locked (made under another name, locked,
then renamed), is written in pieces, and is let go when complete. With
--truncate N only the first N bytes are written.
"""
import fcntl
import os
import sys
import time

HANDOFF = "kd98836C9E3C4C4d9f98D1041DAED24E62.tmp"


def main():
    folder, stream = sys.argv[1], sys.argv[2]
    data = open(stream, "rb").read()
    if "--truncate" in sys.argv:
        data = data[: int(sys.argv[sys.argv.index("--truncate") + 1])]
    handoff = os.path.join(folder, HANDOFF)
    for _ in range(3000):
        if os.path.exists(handoff) and os.path.getsize(handoff) > 0:
            break
        time.sleep(0.01)
    else:
        sys.exit("no hand-off file")
    job = open(handoff, "rb").read().decode()
    if os.path.dirname(job) != folder.rstrip("/"):
        sys.exit("job outside the printer's folder: " + job)
    part = job + ".part"
    fd = os.open(part, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    fcntl.flock(fd, fcntl.LOCK_EX)
    os.rename(part, job)
    for i in range(0, len(data), 4096):
        os.write(fd, data[i : i + 4096])
        time.sleep(0.002)
    os.fsync(fd)
    fcntl.flock(fd, fcntl.LOCK_UN)
    os.close(fd)


if __name__ == "__main__":
    main()
