#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end cases, run against the real executable, all at once.

Usage: end_to_end.py --record-size N [--expect-record-size M] [--sanitizer LIST]
                     [--minimal-root --compiler CXX --readelf READELF] -- [emulator ...] path/to/evwait

Each case runs the program in a private mount namespace whose /dev/input is a
directory of this test. A device there is absent, a FIFO held open here, a FIFO
that no writer ever opens (whose open must not hold the run) or a directory
(whose read fails). A record written into a FIFO, in the layout of the build
under test, is what the device would deliver.

With --minimal-root the program runs as on a device image made of the executable,
its loader and the libraries it names, and nothing else: in a root folder holding
just those files, taken from the build's C library, in a chroot (under emulation
with the emulator's static build copied in).
"""
import argparse, fcntl, os, re, shutil, struct, subprocess, sys, tempfile, threading, time

SETUP = r"""set -e
tmp=$1; shift
mount --rbind /dev "$tmp/hostdev"
mount -t tmpfs -o mode=0755 devices /dev
for n in null zero urandom; do : > /dev/$n; mount --bind "$tmp/hostdev/$n" /dev/$n; done
mkdir /dev/input && mount --bind "$tmp/input" /dev/input
"""
STDIN_CLOSED = "exec 0<&-"
STDOUT_CLOSED = "exec 1>&-"
FDS_ABOVE_1023 = 'ulimit -n 2048; for i in $(seq 3 1099); do eval "exec $i</dev/null"; done'
# A thread stack larger than the address space allowed makes pthread_create fail. An emulated
# 32-bit program has 4 GiB, and its main stack already takes the stack limit: room for one, not two.
# An emulated 64-bit program shares the emulator's address space, which only ulimit -v bounds. With a
# stack limit of 2000000 KiB, qemu-aarch64 7.2 (whose main stack for the program and a thread of its own
# each take the limit) starts from ulimit -v 4500000 on, and creates the worker from 6250000 on, where
# qemu itself may run short and hang; 5250000 lies midway.
NO_THREAD = {"prelude": "ulimit -s 4000000; ulimit -v 400000", "emulated_prelude": "ulimit -s 2000000",
             "emulated_64bit_prelude": "ulimit -s 2000000; ulimit -v 5250000", "address_space_limit": True}
KEY = (1, 30, 1)  # type, code, value: a press of the A key

# Timing of a run. The program sleeps its five seconds after its third open line, so it must end at least
# that long after its launch, and at most END_ALLOWANCE after the window measured from that line: startup,
# which load stretches most (twenty sanitized processes starting at once on two cores), is left out, and
# what remains is the end of the process and this harness waking up to it. A driver that sleeps 7 s instead
# of 5 overshoots by a second more than the allowance. A run whose open lines cannot be read is only held to
# the generous LAUNCH_LIMIT from its launch. "Launch" is the moment its private namespace is set up, just
# before the program starts: the set-up is the test's own work. A run still going at HANG_LIMIT is killed.
WINDOW, END_ALLOWANCE, LAUNCH_LIMIT, HANG_LIMIT = 5.0, 1.0, 8.0, 15.0


def program_env(sanitizer):
    """The program's environment. ThreadSanitizer sleeps a second at exit while another thread lives, which
    evwait's waiting worker always does when no event came; it cannot race then (it is blocked for good), so
    the sleep only blurs the end of the run and is turned off."""
    env = dict(os.environ)
    if "thread" in sanitizer:
        env["TSAN_OPTIONS"] = ":".join(filter(None, [env.get("TSAN_OPTIONS", ""), "atexit_sleep_ms=0"]))
    return env


def timing_problems(start, opened, end):
    """What is wrong with a run launched at `start` that printed its third open line at `opened` (None when
    unseen) and ended at `end`, and the time held to an upper limit: (problems, (what, seconds, limit))."""
    problems = []
    if end - start < WINDOW - 0.1:
        problems.append(f"ended {end - start:.3f} s after its launch, before its five seconds")
    if opened is not None:
        measured = ("run after its open lines", end - opened, WINDOW + END_ALLOWANCE)
    else:
        measured = ("run after its launch, open lines unseen", end - start, LAUNCH_LIMIT)
    what, seconds, limit = measured
    if seconds > limit:
        problems.append(f"{what}: {seconds:.3f} s, want at most {limit}")
    return problems, measured


def opens(*present):
    return [f"open {'successfully' if p else 'failed'}:/dev/input/event{i}" for i, p in enumerate(present)]


def line(type_, code, value):
    return [f"iebuf.code={code} iebuf.type={type_} iebuf.value={value}"]


ALL = opens(1, 1, 1)
# name, event0..2 ('f' FIFO, 'w' FIFO that no writer ever opens, '-' absent, 'd' directory), records
# {device: (type, code, value) or raw bytes}, options, expected console lines (None: console not readable), exit status
CASES = [
    ("key press on event0", "fff", {0: KEY}, {}, ALL + line(*KEY), 30),
    ("event1 missing", "f-f", {2: KEY}, {}, opens(1, 0, 1) + line(*KEY), 30),
    ("no device present", "---", {}, {}, opens(0, 0, 0), 255),
    ("no key pressed", "fff", {}, {}, ALL, 255),
    ("product 272 shows as 16", "fff", {0: (1, 272, 1)}, {}, ALL + line(1, 272, 1), 16),
    ("key release gives 0", "fff", {0: (1, 30, 0)}, {}, ALL + line(1, 30, 0), 0),
    ("type 0 gives 0", "fff", {0: (0, 30, 5)}, {}, ALL + line(0, 30, 5), 0),
    ("negative value gives -30", "fff", {0: (1, 30, -1)}, {}, ALL + line(1, 30, -1), 226),
    ("65535 x 65535 wraps", "fff", {0: (65535, 65535, 3)}, {}, ALL + line(65535, 65535, 3), 3),
    ("event0 and event2 ready: event0 read", "fff", {0: KEY, 2: (1, 48, 1)}, {}, ALL + line(*KEY), 30),
    ("only event1 open", "-f-", {1: (1, 48, 1)}, {}, opens(0, 1, 0) + line(1, 48, 1), 48),
    ("key after the opens: line at once", "fff", {}, {"late_key": 1}, ALL + line(*KEY), 30),
    ("arguments ignored", "fff", {0: KEY}, {"args": ["--help", "-v", "5"]}, ALL + line(*KEY), 30),
    ("event2 on descriptor 0", "--f", {2: KEY}, {"prelude": STDIN_CLOSED}, opens(0, 0, 1) + line(*KEY), 30),
    ("short record ignored", "fff", {0: b"\x01\x00\x1e\x00"}, {}, ALL, 255),
    ("device gone (end of file)", "fff", {}, {"hang_up": 0}, ALL, 255),
    ("read error", "dff", {}, {}, ALL, 255),
    ("FIFO without a writer at event0", "wff", {}, {}, ALL, 255),
    ("FIFO without a writer at event0, key on event1", "wff", {1: KEY}, {}, ALL + line(*KEY), 30),
    ("devices above descriptor 1023", "fff", {0: KEY}, {"prelude": FDS_ABOVE_1023}, ALL, 255),
    ("standard output closed", "fff", {0: KEY}, {"prelude": STDOUT_CLOSED}, None, 30),
    ("standard output reader gone", "fff", {0: KEY}, {"broken_stdout": True}, None, 30),
    ("console stalled across the five-second mark", "fff", {0: KEY}, {"stalled_console": 6.0},
     ALL + line(*KEY), 30),
    ("worker thread not created", "fff", {0: KEY}, NO_THREAD, ALL, 255),
]


def elf_64bit(path):
    """Whether the executable at `path` is a 64-bit ELF file (its class byte, EI_CLASS, is 2)."""
    with open(path, "rb") as exe:
        return exe.read(5)[4] == 2


def record(size, fields):
    return fields if isinstance(fields, bytes) else bytes(size - 8) + struct.pack("<HHi", *fields)


def lay_out_devices(tmp, devices):
    """Makes tmp/hostdev and tmp/input with event0..2 as `devices` says ('f' FIFO, 'w' FIFO without a writer,
    'd' directory, '-' absent);
    returns the descriptors of the FIFOs, held open, by device number."""
    os.mkdir(f"{tmp}/hostdev")
    os.mkdir(f"{tmp}/input")
    held = {}
    for i, kind in enumerate(devices):
        path = f"{tmp}/input/event{i}"
        if kind == "f":
            os.mkfifo(path)
            held[i] = os.open(path, os.O_RDWR | os.O_NONBLOCK)
        elif kind == "w":
            os.mkfifo(path)
        elif kind == "d":
            os.mkdir(path)
    return held


def launch(ns, tmp, command, prelude="", root=None, ready_fd=None, **popen):
    """Starts `command` in a namespace whose /dev/input (and root/dev/input) is tmp/input, after the shell
    lines `prelude`. With `ready_fd`, the time (bash's $EPOCHREALTIME) is written to that descriptor once the
    namespace is set up, and the descriptor closed: ready_since() reads it."""
    script = SETUP + (f'mount --bind "$tmp/input" "{root}/dev/input"\n' if root else "")
    if ready_fd is not None:
        script += f'printf %s "$EPOCHREALTIME" >&{ready_fd}; exec {ready_fd}>&-\n'
        popen["pass_fds"] = (ready_fd,)
    script += "set +e\n" + prelude + '\nexec "$@"'
    return subprocess.Popen(ns + ["bash", "-c", script, "ns", tmp] + list(command), **popen)


def ready_since(ready):
    """Reads what launch() wrote to its `ready_fd` from the other end of the pipe, `ready`, and closes it;
    returns the moment the namespace was ready, in time.monotonic()'s terms, or now when it never was (a
    failed set-up closes the pipe without writing). The moment is the one the namespace itself noted: the
    program may be well into its run before a thread of a loaded test gets round to reading the pipe."""
    written = b""
    while chunk := os.read(ready, 64):
        written += chunk
    os.close(ready)
    now, wall = time.monotonic(), time.time()
    try:
        return now - max(0.0, wall - float(written.decode().replace(",", ".")))
    except ValueError:
        return now


def read_lines(stream, count, out=b""):
    """Reads from `stream` until `out` holds `count` lines or the stream ends."""
    while out.count(b"\n") < count and (chunk := stream.read1()):
        out += chunk
    return out


# Seconds measured in each case, by case name, for the summary: how close each time limit came.
MARGINS = {}


def run_case(case, ns, command, size, prelude_key, sanitizer, root=None):
    """Runs one case; `prelude_key` names the options entry that replaces "prelude" for this build, if any."""
    name, devices, records, opts, want_lines, want_status = case
    with tempfile.TemporaryDirectory() as tmp:
        held = lay_out_devices(tmp, devices)
        for i, fields in records.items():
            os.write(held[i], record(size, fields))
        stdout = subprocess.PIPE
        if opts.get("broken_stdout"):
            reader, stdout = os.pipe()
            os.close(reader)
        if "stalled_console" in opts:  # room for the open lines only: the event line blocks half way
            reader, stdout = os.pipe()
            os.set_blocking(stdout, False)
            os.write(stdout, b"#" * (fcntl.fcntl(stdout, fcntl.F_GETPIPE_SZ) - 130))
            os.set_blocking(stdout, True)
        prelude = opts.get(prelude_key, opts.get("prelude", ""))
        ready, ready_w = os.pipe()
        with open(f"{tmp}/stderr", "w+") as err:
            proc = launch(ns, tmp, command + opts.get("args", []), prelude, root, ready_w,
                          env=program_env(sanitizer), stdout=stdout, stderr=err, stdin=subprocess.DEVNULL)
            os.close(ready_w)
            # A run that hangs before its open lines would otherwise hold the reads below for ever.
            hang = threading.Timer(HANG_LIMIT, proc.kill)
            hang.start()
            # The run is timed from its namespace being ready: setting that up is the test's own work, which
            # a loaded machine stretches most.
            start = ready_since(ready)
            out, problems, opened = b"", [], None
            if proc.stdout:
                out = read_lines(proc.stdout, 3)
                opened = time.monotonic() if out.count(b"\n") >= 3 else None
            if "hang_up" in opts:  # the writer goes away once the program holds the device
                os.close(held.pop(opts["hang_up"]))
            if "late_key" in opts:  # a key while the program waits: its line comes at once, not at the end
                os.write(held[opts["late_key"]], record(size, KEY))
                pressed = time.monotonic()
                out = read_lines(proc.stdout, 4, out)
                took = MARGINS[name, "event line after its key", 1.0] = time.monotonic() - pressed
                if took > 1.0:
                    problems.append(f"event line {took:.2f} s after the key")
            if "stalled_console" in opts:  # the console takes output again only after the five-second mark
                os.close(stdout)
                time.sleep(max(0.0, start + opts["stalled_console"] - time.monotonic()))
                while chunk := os.read(reader, 65536):
                    out += chunk
                out = out.lstrip(b"#")
                os.close(reader)
            out += proc.communicate()[0] or b""
            status, end = proc.returncode, time.monotonic()
            if not hang.is_alive():
                problems.append(f"still running {HANG_LIMIT} s after its launch: killed")
            hang.cancel()
            err.seek(0)
            errors = err.read()
        if opts.get("broken_stdout"):
            os.close(stdout)
        for fd in held.values():
            os.close(fd)
    if want_lines is not None and out.decode(errors="replace").splitlines() != want_lines:
        problems.append(f"console {out!r}, want {want_lines!r}")
    if status != want_status:
        problems.append(f"status {status}, want {want_status}")
    late, (what, seconds, limit) = timing_problems(start, opened, end)
    problems += late
    MARGINS[name, what, limit] = seconds
    if errors:
        problems.append(f"standard error {errors!r}")
    return problems


def namespace_command(probe_dir):
    ns = ["unshare", "--mount", "--propagation", "private"]
    if os.geteuid() != 0:
        ns[1:1] = ["--user", "--map-root-user"]
    for sub in ("hostdev", "input"):
        os.makedirs(f"{probe_dir}/{sub}", exist_ok=True)
    probe = subprocess.run(ns + ["bash", "-c", SETUP, "ns", probe_dir], capture_output=True, text=True)
    return ns, probe.returncode == 0, probe.stderr.strip()


def build_minimal_root(root, exe, compiler, readelf):
    """Fills `root` with `exe` (as /evwait), the loader it asks for at its own path, the libraries it names in
    /lib (which every glibc loader searches), and an empty /dev/input; returns what was copied."""
    dump = subprocess.run([readelf, "--wide", "--program-headers", "--dynamic", exe], capture_output=True,
                          text=True, check=True, env=dict(os.environ, LC_ALL="C")).stdout
    interp = re.search(r"Requesting program interpreter: ([^\]]+)\]", dump)
    if not interp:
        sys.exit(f"FAIL {exe} names no loader: it is not a dynamic executable")
    files = {interp[1]: os.path.basename(interp[1])}
    for name in re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dump):
        if name != os.path.basename(interp[1]):
            files[f"/lib/{name}"] = name
    for dest, name in files.items():
        found = subprocess.run([compiler, f"-print-file-name={name}"], capture_output=True, text=True,
                               check=True).stdout.strip()
        if not os.path.isabs(found):
            sys.exit(f"FAIL {compiler} knows no {name}, which {exe} needs")
        os.makedirs(os.path.dirname(root + dest), exist_ok=True)
        shutil.copy(found, root + dest)
    shutil.copy(exe, f"{root}/evwait")
    os.makedirs(f"{root}/dev/input")
    return sorted(files)


def minimal_root_command(root, command):
    """`command` made to run the copy in `root` with nothing of the host's files: in a chroot, under emulation
    by the emulator's static build copied into the root. (qemu-user's -L takes every file missing under its
    root from the host, so a library the root lacks would still be found there.) Only the emulator's CPU is
    kept, not its library root or environment."""
    *emulator, _ = command
    chroot = shutil.which("chroot", path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
    if not emulator:
        return [chroot, root, "/evwait"]
    static = shutil.which(os.path.basename(emulator[0]) + "-static")
    if not static:
        sys.exit(f"FAIL no {os.path.basename(emulator[0])}-static to run inside {root} (Debian's qemu-user-static)")
    shutil.copy(static, f"{root}/emulator")
    kept = [arg for i, arg in enumerate(emulator[1:]) if arg not in ("-L", "-E") and emulator[i] not in ("-L", "-E")]
    return [chroot, root, "/emulator"] + kept + ["/evwait"]


def open_namespace():
    """The command prefix that runs a program in its own mount namespace. Where none can be made this exits:
    a skip (77), or a failure under CI."""
    with tempfile.TemporaryDirectory() as probe_dir:
        ns, usable, why = namespace_command(probe_dir)
    if not usable:
        print(f"NOT RUN: cannot make a private mount namespace for /dev/input: {why}")
        sys.exit(1 if os.environ.get("CI") == "true" else 77)
    return ns


def run_cases(cases, run_one):
    """Runs all `cases` at once, each by run_one(case), which returns its problems; prints one line per case
    and the count passed, and returns the count failed."""
    results = {}

    def run(case):
        try:
            results[case[0]] = run_one(case)
        except Exception as error:  # a broken case must show, not vanish with its thread
            results[case[0]] = [f"test error: {error!r}"]

    threads = [threading.Thread(target=run, args=(c,)) for c in cases]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    failed = 0
    for name, *_ in cases:
        problems = results.get(name, ["did not finish"])
        failed += bool(problems)
        print(("FAIL " if problems else "ok   ") + name + "".join("\n     " + p for p in problems))
    print(f"{len(cases) - failed} of {len(cases)} cases passed")
    return failed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--record-size", type=int, required=True)
    parser.add_argument("--expect-record-size", type=int, help="fail unless the build's record has this size")
    parser.add_argument("--sanitizer", default="", help="the -fsanitize= list the program was built with")
    parser.add_argument("--fixed-thread-stacks", action="store_true",
                        help="the program's C library sizes thread stacks without regard to the stack limit")
    parser.add_argument("--minimal-root", action="store_true",
                        help="run in a root holding only the executable, its loader and the libraries it names")
    parser.add_argument("--compiler", help="with --minimal-root: the compiler whose C library is copied")
    parser.add_argument("--readelf", default="readelf", help="with --minimal-root: reads what the executable needs")
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()
    if args.expect_record_size not in (None, args.record_size):
        print(f"FAIL input_event record is {args.record_size} bytes in this build, want {args.expect_record_size}")
        sys.exit(1)
    ns = open_namespace()
    root_dir = tempfile.TemporaryDirectory() if args.minimal_root else None
    root, command = None, args.command
    if root_dir:
        root = root_dir.name
        copied = build_minimal_root(root, args.command[-1], args.compiler, args.readelf)
        command = minimal_root_command(root, args.command)
        print(f"root holding only /evwait, {', '.join(copied)}")

    print(f"input_event record: {args.record_size} bytes; command: {' '.join(command)}")
    # The address-space limit that makes pthread_create fail natively also stops a
    # sanitized program, which needs more than that just to start; and it only
    # works where a thread's stack is as large as the stack limit (glibc).
    why_not = ""
    if args.sanitizer:
        why_not = (f"-fsanitize={args.sanitizer} maps terabytes of shadow and allocator space at start, "
                   "so its runtime aborts under the ulimit -v limit before main runs")
    elif args.fixed_thread_stacks:
        why_not = ("this C library gives each thread a small stack of fixed size, not the stack limit's, "
                   "so the limits leave room for the thread")
    cases = [c for c in CASES if not (why_not and c[3].get("address_space_limit"))]
    for c in CASES:
        if c not in cases:
            print(f"NOT RUN: {c[0]} ({why_not})")

    # Under an emulator some cases need other limits, and a 64-bit program under it others again.
    prelude_key = None
    if len(args.command) > 1:
        prelude_key = "emulated_64bit_prelude" if elf_64bit(args.command[-1]) else "emulated_prelude"

    failed = run_cases(cases, lambda case: run_case(case, ns, command, args.record_size, prelude_key,
                                                    args.sanitizer, root))
    for what, limit in sorted({(what, limit) for _, what, limit in MARGINS}):
        seconds, name = max((t, n) for (n, w, _), t in MARGINS.items() if w == what)
        print(f"longest {what}: {seconds:.3f} s (limit {limit}), in '{name}'")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
