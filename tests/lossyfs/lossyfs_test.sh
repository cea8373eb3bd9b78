#!/usr/bin/env bash
# lossyfs, the file system that loses at a simulated power cut what POSIX does not promise to
# keep: each case mounts it, changes files, cuts the power (by hand or armed on an operation),
# unmounts, mounts the image again and looks at what survived.
#   lossyfs_test.sh LOSSYFS
set -uo pipefail
here=$(dirname "$(realpath "$0")")
source "$here/../e2e/common.sh"
enter_namespace "$0" "$@"
if [[ ! -c /dev/fuse ]]; then
  echo "skipped: no /dev/fuse"
  exit 77
fi
lossyfs=$(realpath "$1")

# Traversable by nobody, unlike $work, for the permission checks.
base=$(mktemp -d /tmp/lossyfs.XXXXXX)
chmod 0755 "$base"
# The folder the script was started in may be one the new /tmp hides.
cd "$base" || exit 1
mnt=$base/mnt
mkdir "$mnt"

# Runs steps in one process, in order, and prints "did STEP" after each:
#   write PATH TEXT, append PATH TEXT, fsync PATH (a file or a folder), rename FROM TO,
#   link FROM TO, unlink PATH, mkdir PATH, big PATH MIB (pseudo-random bytes).
cat > "$base/ops.py" <<'PY'
import os, random, sys

args = sys.argv[1:]
while args:
    op = args.pop(0)
    if op in ("write", "append"):
        path, text = args.pop(0), args.pop(0)
        flags = os.O_WRONLY | os.O_CREAT | (os.O_APPEND if op == "append" else os.O_TRUNC)
        fd = os.open(path, flags, 0o644)
        os.write(fd, text.encode())
        os.close(fd)
    elif op == "fsync":
        fd = os.open(args.pop(0), os.O_RDONLY)
        os.fsync(fd)
        os.close(fd)
    elif op == "rename":
        os.rename(args.pop(0), args.pop(0))
    elif op == "link":
        os.link(args.pop(0), args.pop(0))
    elif op == "unlink":
        os.unlink(args.pop(0))
    elif op == "mkdir":
        os.mkdir(args.pop(0))
    elif op == "big":
        path, mib = args.pop(0), int(args.pop(0))
        rng = random.Random(mib)
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        for _ in range(mib):
            os.write(fd, rng.randbytes(1 << 20))
        os.close(fd)
    else:
        sys.exit("unknown step " + op)
    print("did", op, flush=True)
PY
ops() { python3 "$base/ops.py" "$@"; }

# start CASE [OPTIONS]: a mount of an image of CASE's own, new or left by an earlier start.
start() {
  image=$base/$1.img log=$base/$1.log
  opts=${2:-}
  remount
}
# Without the mount the cases would run on the plain folder beneath: stop instead.
remount() {
  "$lossyfs" -o "log=$log${opts:+,$opts}" "$image" "$mnt" && mountpoint -q "$mnt" && return 0
  echo "FAIL lossyfs did not mount $image"
  cat "$log" 2> /dev/null
  exit 1
}
ctl() { printf '%s\n' "$*" > "$mnt/.lossyfs"; }
state() { head -n 1 "$mnt/.lossyfs"; }
cut_and_remount() { ctl cut && umount "$mnt" && remount; }
content() { [[ -f $1 && "$(cat "$1")" == "$2" ]]; }
absent() { [[ ! -e $1 && ! -L $1 ]]; }
size_of() { stat -c %s "$1"; }
ino_of() { stat -c %i "$1"; }
# A process that is gone, or a zombie that only waits for its parent.
gone() { [[ ! -e /proc/$1 || "$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1)" == Z ]]; }

check "lossyfs mounts" start basics
check "... and says it is live" test "$(state)" == live
check "the mount is one once lossyfs has returned" mountpoint -q "$mnt"
check "the control file is hidden from listings" bash -c "! ls -A '$mnt' | grep -q lossyfs"
echo hello > "$mnt/a"
ln "$mnt/a" "$mnt/b"
mkdir "$mnt/d"
check "hard links share an inode and count" \
  test "$(stat -c '%i %h' "$mnt/a")" == "$(ino_of "$mnt/b") 2"
check "a subfolder counts as a link of its parent" test "$(stat -c %h "$mnt")" -eq 3
before=$(stat -c %.9Y.%.9Z "$mnt/d")
touch -d @1000000000 "$mnt/d/x"
check "utimens sets the mtime" test "$(stat -c %Y "$mnt/d/x")" -eq 1000000000
check "a new entry moves the folder's ctime" test "$(stat -c %.9Y.%.9Z "$mnt/d")" != "$before"
check "statfs has room" test "$(df --output=avail -B1 "$mnt" | tail -n 1)" -gt $((1 << 30))
check "O_TMPFILE fails cleanly" python3 - "$mnt" <<'PY'
import errno, os, sys
try:
    os.close(os.open(sys.argv[1], os.O_TMPFILE | os.O_RDWR))
except OSError as e:
    sys.exit(e.errno not in (errno.EOPNOTSUPP, errno.EINVAL))
PY
umount "$mnt"
remount
check "a clean unmount keeps the whole current state" \
  bash -c "[[ \$(cat '$mnt/a') == hello && \$(stat -c %h '$mnt/b') == 2 && -f '$mnt/d/x' ]]"
cp -r "$here/../e2e" "$mnt/seed"
ctl sync
cut_and_remount
check "a tree copied in and synced survives a cut whole" diff -r "$here/../e2e" "$mnt/seed"
umount "$mnt"

# 1. write, fsync, rename into place
start rename-lost
mkdir "$mnt/spool" && ctl sync
ops write "$mnt/spool/job.tmp" JOB fsync "$mnt/spool/job.tmp" rename "$mnt/spool/job.tmp" \
  "$mnt/spool/job" > /dev/null
cut_and_remount
check "a rename whose folder was not fsynced is lost, both names" \
  bash -c "[[ ! -e '$mnt/spool/job' && ! -e '$mnt/spool/job.tmp' ]]"
umount "$mnt"
start rename-kept
mkdir "$mnt/spool" && ctl sync
ops write "$mnt/spool/job.tmp" JOB fsync "$mnt/spool/job.tmp" rename "$mnt/spool/job.tmp" \
  "$mnt/spool/job" fsync "$mnt/spool" > /dev/null
ino=$(ino_of "$mnt/spool/job")
cut_and_remount
check "a rename with its folder fsynced is kept whole" content "$mnt/spool/job" JOB
check "... under the old name no more" absent "$mnt/spool/job.tmp"
check "... with the same inode number" test "$(ino_of "$mnt/spool/job" 2>/dev/null)" == "$ino"
umount "$mnt"

# 2. unlink
start unlink
ops write "$mnt/f" DURABLE write "$mnt/g" DURABLE > /dev/null && ctl sync
ops unlink "$mnt/f" > /dev/null
cut_and_remount
check "an unlink without folder fsync is undone by a cut" content "$mnt/f" DURABLE
ops unlink "$mnt/f" fsync "$mnt" > /dev/null
ctl cut
check "after a cut the control file says so" test "$(state)" == cut
umount "$mnt" && remount
check "an unlink with the folder fsynced stays" absent "$mnt/f"
check "... and the file beside it stays" content "$mnt/g" DURABLE
umount "$mnt"

# 3. data that was not fsynced
start data
ops write "$mnt/log" one fsync "$mnt/log" > /dev/null && ctl sync
ops append "$mnt/log" two write "$mnt/new" NEWDATA fsync "$mnt" > /dev/null
check "before the cut the appended data is there" content "$mnt/log" onetwo
cut_and_remount
check "data not fsynced is lost: the file is back at its fsynced length" content "$mnt/log" one
check "a new file whose name was made durable comes back empty" \
  bash -c "[[ -f '$mnt/new' && \$(stat -c %s '$mnt/new') == 0 ]]"
ops big "$mnt/big" 24 fsync "$mnt/big" fsync "$mnt" > /dev/null
sum=$(sha256sum < "$mnt/big")
cut_and_remount
check "a fsynced file of 24 MiB survives whole" test "$(sha256sum < "$mnt/big")" == "$sum"
chmod 0600 "$mnt/big"
cut_and_remount
check "a chmod not fsynced is lost" test "$(stat -c %a "$mnt/big")" == 644
umount "$mnt"

# 4. a new folder whose parent was not fsynced
start mkdir-lost
ops mkdir "$mnt/d" write "$mnt/d/f" DATA fsync "$mnt/d/f" fsync "$mnt/d" > /dev/null
cut_and_remount
check "a new folder whose parent was not fsynced is gone with all in it" absent "$mnt/d"
ops mkdir "$mnt/d" write "$mnt/d/f" DATA fsync "$mnt/d/f" fsync "$mnt/d" fsync "$mnt" > /dev/null
cut_and_remount
check "with the parent fsynced too, the folder and its file survive" content "$mnt/d/f" DATA
umount "$mnt"

# 5. a rename over an existing file
start replace
ops write "$mnt/x" OLD > /dev/null && ctl sync
ops write "$mnt/x.new" NEW fsync "$mnt/x.new" rename "$mnt/x.new" "$mnt/x" > /dev/null
check "before the cut the new contents are under the name" content "$mnt/x" NEW
cut_and_remount
check "a rename over a file without folder fsync is undone whole: the old contents" \
  content "$mnt/x" OLD
check "... and no new name" absent "$mnt/x.new"
umount "$mnt"

# 6. an armed cut
start armed
mkdir "$mnt/spool"
ops write "$mnt/spool/zv0001.zv" JOB1 write "$mnt/spool/other.txt" OTHER > /dev/null && ctl sync
# Bash would report the killed job on its own standard error.
exec {stderr}>&2 2> /dev/null
sleep 600 &
machine=$!
ctl arm unlink 'zv*.zv'
ctl machine "$machine"
out=$(ops unlink "$mnt/spool/other.txt" unlink "$mnt/spool/zv0001.zv" \
  write "$mnt/spool/marker" M fsync "$mnt/spool/marker" fsync "$mnt/spool" 2>&1)
status=$?
check "the process that unlinked got SIGKILL" test "$status" -eq 137
check "... and never returned from the unlink" test "$out" == "did unlink"
check "the control file says cut" test "$(state)" == cut
check "the machine was killed" wait_for 10 gone "$machine" || kill "$machine"
wait "$machine"
check "... with SIGKILL" test $? -eq 137
exec 2>&"$stderr" {stderr}>&-
umount "$mnt" && remount
check "the unlinked file is back" content "$mnt/spool/zv0001.zv" JOB1
check "the marker the process would have made is not there" absent "$mnt/spool/marker"
check "the unlink of a name that did not match was not the cut, and is undone too" \
  content "$mnt/spool/other.txt" OTHER
umount "$mnt"
start armed-nth
mkdir "$mnt/spool"
for n in 1 2; do echo "JOB$n" > "$mnt/spool/zv000$n.zv"; done
ctl sync
ctl arm unlink 'zv*.zv' 2
out=$(ops unlink "$mnt/spool/zv0001.zv" fsync "$mnt/spool" unlink "$mnt/spool/zv0002.zv" \
  fsync "$mnt/spool" 2>&1)
status=$?
check "an arm for the second unlink lets the first one by" test "$out" == $'did unlink\ndid fsync'
check "... and kills at the second" test "$status" -eq 137
umount "$mnt" && remount
check "... which stays, fsynced" absent "$mnt/spool/zv0001.zv"
check "... and cuts at the second" content "$mnt/spool/zv0002.zv" JOB2
umount "$mnt"
start armed-rename
ops write "$mnt/a.tmp" A fsync "$mnt/a.tmp" > /dev/null && ctl sync
ctl arm rename 'a.zv'
out=$(ops rename "$mnt/a.tmp" "$mnt/a.zv" fsync "$mnt" 2>&1)
status=$?
check "an arm on rename matches the new name and kills at it" test "$status" -eq 137 -a -z "$out"
umount "$mnt" && remount
check "... before the folder was fsynced" content "$mnt/a.tmp" A
umount "$mnt"

# 7. random survival
torn=0 kept=0 dropped=0 consistent=0 seeds=16
for seed in $(seq $seeds); do
  start "random-$seed" "mode=random,seed=$seed"
  head -c 1000 /dev/zero | tr '\0' D > "$mnt/log"
  echo -n A > "$mnt/a"
  echo -n OLDX > "$mnt/x" && echo -n OLDY > "$mnt/y"
  ctl sync
  ops append "$mnt/log" "$(head -c 1000 /dev/zero | tr '\0' N)" rename "$mnt/a" "$mnt/b" \
    rename "$mnt/b" "$mnt/c" rename "$mnt/y" "$mnt/x" write "$mnt/new" NEW > /dev/null
  cut_and_remount
  length=$(size_of "$mnt/log")
  ok=1
  # Whatever the length, what is there is what was written.
  [[ "$(cat "$mnt/log")" == "$(head -c 1000 /dev/zero | tr '\0' D)$(head -c $((length - 1000)) /dev/zero | tr '\0' N)" ]] || ok=0
  ((length > 1000 && length < 2000)) && torn=$((torn + 1))
  if [[ -e $mnt/a && ! -e $mnt/b && ! -e $mnt/c ]]; then
    dropped=$((dropped + 1))
    content "$mnt/a" A || ok=0
  elif [[ ! -e $mnt/a && ! -e $mnt/b && -e $mnt/c ]]; then
    kept=$((kept + 1))
    content "$mnt/c" A || ok=0
  else
    ok=0
  fi
  if [[ -e $mnt/y ]]; then
    content "$mnt/x" OLDX && content "$mnt/y" OLDY || ok=0
  else
    content "$mnt/x" OLDY || ok=0
  fi
  if ((ok)); then consistent=$((consistent + 1)); else ls -l "$mnt"; cat "$log"; fi
  umount "$mnt"
done
check "in random mode no rename is ever half done (over $seeds seeds)" test $consistent -eq $seeds
check "an append is torn at least once" test $torn -ge 1
check "a pending group of renames is kept at least once" test $kept -ge 1
check "... and dropped at least once" test $dropped -ge 1
echo "random: $torn torn, $kept kept, $dropped dropped"

# 8. locks
start locks
check "an OFD lock taken by one process excludes another" python3 - "$mnt/lock" <<'PY'
import fcntl, os, struct, subprocess, sys

CHILD = """
import errno, fcntl, os, struct, sys
fd = os.open(sys.argv[1], os.O_RDWR)
try:
    fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, 0, 0, 0, 0))
except OSError as e:
    sys.exit(1 if e.errno in (errno.EAGAIN, errno.EACCES) else 2)
"""
path = sys.argv[1]
def other_process():
    return subprocess.run([sys.executable, "-c", CHILD, path]).returncode
fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, 0, 0, 0, 0))
held = other_process()
os.close(fd)
free = other_process()
sys.exit(0 if (held, free) == (1, 0) else 1)
PY
umount "$mnt"

# 9. permissions
start permissions
(umask 077 && echo secret > "$mnt/secret")
echo public > "$mnt/public"
check "the umask applies" test "$(stat -c %a "$mnt/secret")" == 600
check "other users can reach the mount" test "$(runuser -u nobody -- cat "$mnt/public")" == public
check "nobody cannot read a file of root's with mode 0600" \
  bash -c "! runuser -u nobody -- cat '$mnt/secret' 2> /dev/null"
check "nobody cannot write the control file" \
  bash -c "! runuser -u nobody -- bash -c 'echo cut > \"$mnt/.lossyfs\"' 2> /dev/null"
check "... and nothing was cut" test "$(state)" == live
chown nobody "$mnt/secret"
check "chowned to nobody, it can" test "$(runuser -u nobody -- cat "$mnt/secret")" == secret
check "nobody cannot make files in root's folder" \
  bash -c "! runuser -u nobody -- touch '$mnt/mine' 2> /dev/null"
umount "$mnt"

# 10. a dead mount
start dead
echo data > "$mnt/f"
pid=$(sed -n 's/^pid //p' "$mnt/.lossyfs")
check "after a cut a process that was not killed gets EIO" python3 - "$mnt" <<'PY'
import errno, os, sys

mnt = sys.argv[1]
fd = os.open(os.path.join(mnt, "f"), os.O_WRONLY | os.O_APPEND)
os.write(fd, b"more")
with open(os.path.join(mnt, ".lossyfs"), "w") as ctl:
    ctl.write("cut\n")
failures = 0
for what, call in [
    ("write", lambda: os.write(fd, b"late")),
    ("stat", lambda: os.stat(os.path.join(mnt, "f"))),
    ("listdir", lambda: os.listdir(mnt)),
    ("open", lambda: os.open(os.path.join(mnt, "g"), os.O_WRONLY | os.O_CREAT)),
    ("mkdir", lambda: os.mkdir(os.path.join(mnt, "d"))),
]:
    try:
        call()
        print(what, "worked")
        failures += 1
    except OSError as e:
        if e.errno != errno.EIO:
            print(what, "failed with", e)
            failures += 1
try:
    os.close(fd)
except OSError:
    pass
sys.exit(failures)
PY
check "unmounting a dead mount works" umount "$mnt"
check "... and lossyfs exits" wait_for 10 gone "$pid"
remount
check "what was not fsynced is gone" bash -c "[[ ! -e '$mnt/f' ]]"
umount "$mnt"

finish
