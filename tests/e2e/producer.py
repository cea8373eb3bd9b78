#!/usr/bin/env python3
"""A careful producer of job files, as a program that wants its jobs to survive a power cut
writes them: each job under a name zvspool does not take, flushed, renamed into ZV, and ZV
flushed. Once ZV is flushed the job is on the disk for good, and its tag is added to the ledger
(a file on another disk, which the cut does not touch): every tag there must be printed once.

    producer.py ZV PREFIX COUNT INTERVAL LEDGER [FIRST]

Jobs PREFIX + FIRST ... are written INTERVAL seconds apart, as zvNNNNN.zv; each holds its tag on
its first and last line and a page of text between.
"""
import os
import sys


def job_text(tag):
    lines = [f"{tag} FIRST"]
    lines += [f"{tag} line {n:02d} " + "abcdefghij" * 4 for n in range(1, 40)]
    lines.append(f"{tag} LAST")
    return ("\r\n".join(lines) + "\r\n").encode("cp1250")


def flush_folder(path):
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def main():
    zv, prefix, count, interval, ledger = sys.argv[1:6]
    first = int(sys.argv[6]) if len(sys.argv) > 6 else 1
    import time
    for n in range(first, first + int(count)):
        tag = f"{prefix}{n}"
        temporary = os.path.join(zv, f".{tag}.part")
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        os.write(fd, job_text(tag))
        os.fsync(fd)
        os.close(fd)
        os.rename(temporary, os.path.join(zv, f"zv{n:05d}.zv"))
        flush_folder(zv)
        with open(ledger, "a") as out:
            out.write(tag + "\n")
        time.sleep(float(interval))


if __name__ == "__main__":
    main()
