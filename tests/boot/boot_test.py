#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Boots Debian's kernel under qemu-system-x86_64 with the recovery gate of this tree wired into each init
system, and presses a key on the emulated PS/2 keyboard through the QEMU monitor.

Usage: boot_test.py --build BUILD_DIR --work WORK_DIR [--cache DIR] [--kernel VMLINUZ] [--only REGEX] [--jobs N]

The files come from `cmake --install BUILD_DIR` into a staging folder (prefix /usr). The initramfs builders
(mkinitramfs, dracut) see them as installed: they run in a user and mount namespace whose /usr and /etc are
overlays of the staging folder on the host's own, so this runs as an ordinary user. The systemd root (made by
mmdebstrap) gets the staged files copied in; the BusyBox initramfs is made by hand.
Each case builds (once) the image it names, boots it, waits for console lines on the serial port (never for a
fixed time), sends keys when a given line shows, and fails on a line it must not see.

The kernel is the host's Debian kernel: --kernel (or EVWAIT_BOOT_KERNEL), else /boot/vmlinuz-VERSION where
readable, else the same version taken out of its package (apt-get download, dpkg-deb) into the cache folder;
its modules come from /lib/modules/VERSION. Without qemu-system-x86_64 or a kernel it skips (77); under CI
(CI=true) that is a failure.
"""
import argparse, codecs, concurrent.futures, glob, os, re, shutil, socket, subprocess, sys, tarfile, tempfile, threading
import time

PROMPT = "Press any key within five seconds for recovery"
ENTERING, BOOTING_ON = "evwait-recovery: entering recovery", "evwait-recovery: booting on"
ROOT = "evwait boot test: root file system reached"  # the real root's init, once the initramfs is done
COMMAND_RAN = "evwait boot test: recovery command ran"  # the command action of the BusyBox case
KERNEL_PANIC = "Kernel panic - not syncing"  # the boot ends there: no need to wait for the limit
BOOT_LIMIT = 300  # seconds for one boot to show all its lines: TCG on two busy cores, 15 to 50 s seen
PRESS = "sendkey a"  # a key pressed (and released at once)
# The gate shows its prompt once evwait has opened the devices: a key pressed as the prompt shows counts, and
# the key goes down as soon as the prompt line comes.

# The settings file of each image: action `shell` (the init system's rescue shell) or a command.
SHELL = "EVWAIT_RECOVERY_ACTION=shell\n"
COMMAND = f"EVWAIT_RECOVERY_ACTION='echo \"{COMMAND_RAN}\"'\n"
OFF = ""

# name, image, steps, unwanted lines, [minimum seconds between two steps' lines]. A step is (line, key):
# the console must show `line` (in order), then `key` (if any) is sent on the monitor. Every image with the
# gate on checks held keys (the default), so each "no key" case is also the case of nothing held.
KEY = [(PROMPT, PRESS), (ENTERING, None)]
HELD_LINE = "held:/dev/input/event"  # evwait-held's line, which the gate shows


def held(before, seconds=10):
    """A key that goes down at the console line `before`, ahead of the gate, and is still down when the gate
    starts (held for `seconds`): recovery without a key during the prompt."""
    return [(before, f"sendkey a {seconds * 1000}"), (PROMPT, None), (HELD_LINE, None), (ENTERING, None)]


ITOOLS_SHELL = [("BusyBox", None), ("(initramfs) ", None)]
DRACUT_SHELL = [("Dropping to debug shell", None), (":/# ", None)]
DRACUT_SYSTEMD_SHELL = [("Entering emergency mode", None), ("Press Enter for maintenance", None)]
# systemd's rescue.target: sulogin asks for the root password (set in the root: locked, it gives no shell)
RESCUE = [("You are in rescue mode", None), ("Give root password for maintenance", None)]
DEFAULT_TARGET = "Reached target graphical.target"
PANIC_REBOOT = "Rebooting automatically due to panic= boot argument"  # initramfs-tools' panic()
RESTART = "reboot: Restarting system"  # the kernel's last line
UNIT_FINISHED = "Finished evwait-recovery.s"  # systemd's status line, cut to the console's 80 columns
NO_KEY = [(PROMPT, None), (BOOTING_ON, None), (ROOT, None)]
GATE_LINES = [PROMPT, ENTERING, BOOTING_ON]
FIVE_SECONDS = [(PROMPT, BOOTING_ON, 4.5)]  # the whole wait, not cut short
CASES = [
    ("initramfs-tools: key", "initramfs-tools", KEY + ITOOLS_SHELL, [BOOTING_ON, ROOT]),
    ("initramfs-tools: no key", "initramfs-tools", NO_KEY, [ENTERING, HELD_LINE], FIVE_SECONDS),
    # initramfs-tools' /init prints this line just before its init-premount scripts, the gate among them
    ("initramfs-tools: key held from before the gate", "initramfs-tools",
     held("Begin: Loading essential drivers") + ITOOLS_SHELL, [BOOTING_ON, ROOT]),
    ("initramfs-tools: gate off", "initramfs-tools-off", [("Loading, please wait...", None), (ROOT, None)],
     GATE_LINES),
    ("initramfs-tools: evwait.recovery=off, gate on", "initramfs-tools recovery-off",
     [("Loading, please wait...", None), (ROOT, None)], GATE_LINES),
    # panic= forbids the shell: panic() reboots after that many seconds, and QEMU (-no-reboot) ends
    ("initramfs-tools: key, panic=1", "initramfs-tools panic", KEY + [(PANIC_REBOOT, None), (RESTART, None)],
     [BOOTING_ON, ROOT, "(initramfs) "]),
    ("dracut: key", "dracut", KEY + DRACUT_SHELL, [BOOTING_ON, ROOT]),
    ("dracut: no key", "dracut", NO_KEY, [ENTERING, HELD_LINE], FIVE_SECONDS),
    ("dracut: gate off", "dracut-off", [("Run /init as init process", None), (ROOT, None)], GATE_LINES),
    ("dracut with systemd: key", "dracut-systemd", KEY + DRACUT_SYSTEMD_SHELL, [BOOTING_ON, ROOT]),
    ("dracut with systemd: no key", "dracut-systemd", NO_KEY, [ENTERING, HELD_LINE], FIVE_SECONDS),
    ("BusyBox init: key", "busybox", KEY + [(COMMAND_RAN, None), (ROOT, None)], [BOOTING_ON]),
    ("BusyBox init: no key", "busybox", NO_KEY, [ENTERING, COMMAND_RAN, HELD_LINE], FIVE_SECONDS),
    # the kernel's line as it starts busybox: the gate is the second start script
    ("BusyBox init: key held from before the gate", "busybox",
     held("Run /init as init process") + [(COMMAND_RAN, None), (ROOT, None)], [BOOTING_ON]),
    ("systemd: key", "systemd", KEY + RESCUE, [BOOTING_ON, DEFAULT_TARGET]),
    ("systemd: no key", "systemd", [(PROMPT, None), (BOOTING_ON, None), (DEFAULT_TARGET, None)],
     [ENTERING, HELD_LINE, "rescue mode"], FIVE_SECONDS),
    # the gate starts once udev's coldplug has ended, 6 to 7 s after it starts (seen): the key goes down as
    # the coldplug starts, held for 30 s to stay down until the gate asks under load too
    ("systemd: key held from before the gate", "systemd", held("Starting systemd-udev-trig", 30) + RESCUE,
     [BOOTING_ON, DEFAULT_TARGET]),
    # the unit enabled, and run, with the action empty
    ("systemd: gate off", "systemd-off", [(UNIT_FINISHED, None), (DEFAULT_TARGET, None)],
     GATE_LINES + ["rescue mode"]),
]


class Fail(Exception):
    """A case that failed, with the reason."""


def run(cmd, **kw):
    """Runs `cmd`; a failure shows its output."""
    proc = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if proc.returncode != 0:
        raise Fail(f"{' '.join(map(str, cmd))} exited {proc.returncode}:\n{proc.stdout}{proc.stderr}")
    return proc.stdout


# ---- the kernel --------------------------------------------------------------------------------------------


def bzimage_version(path):
    """The version string of a bzImage: setup header field kernel_version (offset 0x20E) points into it."""
    with open(path, "rb") as f:
        head = f.read(0x10000)
    where = int.from_bytes(head[0x20E:0x210], "little") + 0x200
    return head[where:head.index(b"\0", where)].decode().split()[0]


def kernel_from_package(version, cache):
    """vmlinuz-VERSION out of the installed version of package linux-image-VERSION, into `cache`."""
    package = f"linux-image-{version}"
    installed = run(["dpkg-query", "-W", "-f=${Version}", package]).strip()
    with tempfile.TemporaryDirectory(dir=cache) as tmp:
        run(["apt-get", "download", f"{package}={installed}"], cwd=tmp)
        deb = glob.glob(f"{tmp}/*.deb")[0]
        tar = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE)
        with tarfile.open(fileobj=tar.stdout, mode="r|") as files:
            for member in files:
                if member.name == f"./boot/vmlinuz-{version}":
                    with open(f"{tmp}/vmlinuz", "wb") as out:
                        shutil.copyfileobj(files.extractfile(member), out)
        tar.wait()
        if not os.path.exists(f"{tmp}/vmlinuz"):
            raise Fail(f"{deb} holds no boot/vmlinuz-{version}")
        os.replace(f"{tmp}/vmlinuz", f"{cache}/vmlinuz-{version}")
    return f"{cache}/vmlinuz-{version}"


def find_kernel(given, cache):
    """(vmlinuz, version), or (None, why not)."""
    if given:
        if not os.access(given, os.R_OK):
            return None, f"the kernel {given} is not readable"
        version = bzimage_version(given)
        if not os.path.isdir(f"/lib/modules/{version}"):
            return None, f"{given} is version {version}, which has no modules in /lib/modules/{version}"
        return given, version
    versions = sorted(os.path.basename(os.path.dirname(p)) for p in glob.glob("/lib/modules/*/modules.dep"))
    if not versions:
        return None, "no kernel's modules in /lib/modules (Debian's linux-image-amd64 installs them)"
    tried = []
    for version in reversed(versions):
        for path in (f"/boot/vmlinuz-{version}", f"{cache}/vmlinuz-{version}"):
            if os.access(path, os.R_OK):
                return path, version
        tried.append(f"/boot/vmlinuz-{version} is not readable by this user (Debian makes it 0600)")
        try:
            return kernel_from_package(version, cache), version
        except (Fail, OSError) as error:
            tried.append(f"taking it out of its package failed: {error}")
    return None, "; ".join(tried) + "; give one with --kernel or EVWAIT_BOOT_KERNEL"


# ---- images ------------------------------------------------------------------------------------------------


# Mounts the overlays (args: stage, etc) and runs the command after them. Not mount(8): with the ordinary
# user's own id it refuses, and as the namespace's root the tools' `cp -a` fail on the host's files' owners.
OVERLAYS = """import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
stage, etc, *command = sys.argv[1:]
for target, lower in (("/usr", f"{stage}/usr:/usr"), ("/etc", f"{etc}:{stage}/etc:/etc")):
    if libc.mount(b"overlay", target.encode(), b"overlay", 0, f"lowerdir={lower}".encode()) != 0:
        sys.exit(f"overlay on {target}: {os.strerror(ctypes.get_errno())}")
os.execvp(command[0], command)
"""


def installed_view(ctx, etc, command, **kw):
    """Runs `command` in a user and mount namespace where the staged files, and the files in `etc`, look
    installed: read-only overlays on /usr and /etc (the host's own files beneath). The user keeps its id
    there, with the namespace's capabilities for the mounts."""
    with ctx.cpu:
        return run(["unshare", "--user", "--map-current-user", "--keep-caps", "--mount", sys.executable, "-c",
                    OVERLAYS, ctx.stage, etc] + command, **kw)


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def settings_etc(folder, settings):
    """A folder for the /etc overlay holding the gate's settings `settings`."""
    shutil.rmtree(folder, ignore_errors=True)
    write(f"{folder}/default/evwait-recovery", settings)
    return folder


ROOT_INIT = f"""#!/bin/busybox sh
echo "{ROOT}"
/bin/busybox poweroff -f
"""


def root_disk(ctx, name):
    """The root of the initramfs cases: an ext4 file system whose init only says that it was reached (made
    by mke2fs -d, as any user may)."""
    tree = f"{ctx.work}/{name}.tree"
    shutil.rmtree(tree, ignore_errors=True)
    os.makedirs(f"{tree}/bin")
    shutil.copy("/bin/busybox", f"{tree}/bin/busybox")
    write(f"{tree}/sbin/init", ROOT_INIT, 0o755)
    write(f"{tree}/etc/os-release", "ID=evwait-boot-test\n")  # systemd switches only into an OS's root
    for d in ("dev", "proc", "sys", "run", "tmp"):
        os.mkdir(f"{tree}/{d}")
    run(["mke2fs", "-q", "-F", "-t", "ext4", "-L", "root", "-d", tree, f"{ctx.work}/{name}.img", "16M"])
    return {"disk": f"{ctx.work}/{name}.img", "append": "root=/dev/vda rootfstype=ext4 ro"}


# The initramfs's own modules: the root disk's driver and file system. The gate's glue must add evdev itself.
ROOT_MODULES = ["virtio_pci", "virtio_blk", "ext4"]


def initramfs_tools(ctx, name, settings):
    """mkinitramfs with the installed hook and script, MODULES=list (only the root's modules and what hooks
    add)."""
    etc = settings_etc(f"{ctx.work}/{name}.etc", settings)
    with open("/etc/initramfs-tools/initramfs.conf") as f:
        conf = re.sub(r"(?m)^MODULES=.*", "MODULES=list", f.read())
    write(f"{etc}/initramfs-tools/initramfs.conf", conf)
    write(f"{etc}/initramfs-tools/modules", "\n".join(ROOT_MODULES) + "\n")
    image = f"{ctx.work}/{name}.img"
    installed_view(ctx, etc, ["mkinitramfs", "-o", image, ctx.version], env=dict(os.environ, TMPDIR=ctx.work))
    return dict(ctx.images.get("root"), initrd=image, listing=run(["lsinitramfs", image]))


def dracut(ctx, name, settings, systemd=False):
    """dracut, not host-only, with the installed module added by name (its check() leaves it out unless
    asked for); the plain shell-script initramfs, or the one systemd runs."""
    etc = settings_etc(f"{ctx.work}/{name}.etc", settings)
    modules = ["base", "rootfs-block", "kernel-modules", "udev-rules"]
    if systemd:
        modules += ["systemd", "systemd-initrd", "dracut-systemd"]
    image = f"{ctx.work}/{name}.img"
    os.makedirs(f"{ctx.work}/{name}.conf.d", exist_ok=True)  # empty: none of the host's settings
    installed_view(ctx, etc, ["dracut", "--force", "--no-hostonly", "--no-compress", "--conf", "/dev/null",
                              "--confdir", f"{ctx.work}/{name}.conf.d", "--tmpdir", ctx.work,
                              "--modules", " ".join(modules), "--add", "evwait-recovery",
                              "--drivers", " ".join(ROOT_MODULES), "--kver", ctx.version, image])
    return dict(ctx.images.get("root"), initrd=image, listing=run(["lsinitrd", image]))


BUSYBOX_INITTAB = """::sysinit:/etc/init.d/rcS
::wait:/etc/init.d/reached
"""
# Buildroot's rcS: every start script in order.
BUSYBOX_RCS = """#!/bin/sh
for i in /etc/init.d/S??* ;do
     [ ! -f "$i" ] && continue
     case "$i" in
	*.sh) ( trap - INT QUIT TSTP; set start; . $i ) ;;
	*) $i start ;;
    esac
done
"""
BUSYBOX_S00 = """#!/bin/sh
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
insmod /lib/modules/evdev.ko
"""


def busybox(ctx, name, settings):
    """A hand-made initramfs: Debian's busybox-static as init, Buildroot's rcS, evdev, the installed gate,
    its start script and the two executables with the libraries they name (as ldd lists them)."""
    tree = f"{ctx.work}/{name}.tree"
    shutil.rmtree(tree, ignore_errors=True)
    for d in ("bin", "sbin", "usr/bin", "usr/sbin", "proc", "sys", "dev", "tmp", "etc/default", "lib/modules"):
        os.makedirs(f"{tree}/{d}")
    shutil.copy("/bin/busybox", f"{tree}/bin/busybox")
    os.symlink("bin/busybox", f"{tree}/init")
    os.symlink("busybox", f"{tree}/bin/sh")
    write(f"{tree}/etc/inittab", BUSYBOX_INITTAB)
    write(f"{tree}/etc/init.d/rcS", BUSYBOX_RCS, 0o755)
    write(f"{tree}/etc/init.d/S00base", BUSYBOX_S00, 0o755)
    write(f"{tree}/etc/init.d/reached", f'#!/bin/sh\necho "{ROOT}"\n', 0o755)
    write(f"{tree}/etc/default/evwait-recovery", settings)
    shutil.copy(f"/lib/modules/{ctx.version}/kernel/drivers/input/evdev.ko", f"{tree}/lib/modules/")
    for path in ("usr/sbin/evwait-recovery", "etc/init.d/S01evwait-recovery"):
        shutil.copy(f"{ctx.stage}/{path}", f"{tree}/{path}")
    for path in ("usr/bin/evwait", "usr/bin/evwait-held"):
        shutil.copy(f"{ctx.stage}/{path}", f"{tree}/{path}")
        for lib in re.findall(r"(/\S+) \(0x", run(["ldd", f"{ctx.stage}/{path}"])):
            os.makedirs(os.path.dirname(tree + lib), exist_ok=True)
            shutil.copy(lib, tree + lib)
    image = f"{ctx.work}/{name}.img"
    files = run(["find", "."], cwd=tree)
    with open(image, "wb") as out:
        subprocess.run(["cpio", "--quiet", "-o", "-H", "newc", "-R", "0:0"], cwd=tree, input=files.encode(),
                       stdout=out, check=True)
    return {"initrd": image, "append": "", "listing": files}


# The systemd root: Debian's packages by mmdebstrap, as a user may (fakechroot, or unshare with subordinate
# ids), made once into the cache. Only the gate's files and settings change from run to run.
SYSTEMD_PACKAGES = "systemd-sysv,udev,kmod"
# The root password "evwait" (openssl passwd -6 -salt evwaitboot evwait), so that rescue.target asks for it:
# on a locked root account sulogin gives no prompt at all.
ROOT_PASSWORD = "$6$evwaitboot$EVg4vfIhNPJfQiE0WMcQ4sfT5n2isMIZ/6nEzt04oLYvtQp7J..aEPzwLYgu4ZreOAQrfRavXThPbPK6QGXhR1"
# Run under fakeroot, which keeps the root's owners and device nodes for mke2fs -d: the root from its tar, the
# staged install on top as a package would put it (the BusyBox start script aside), the gate's unit enabled
# by systemctl, evdev with its module index, the root password.
SYSTEMD_ROOT_SCRIPT = r"""set -e
base=$1 stage=$2 settings=$3 version=$4 tree=$5 image=$6 password=$7
mkdir "$tree"
tar -xpf "$base" -C "$tree"
# Files the tar made unreadable (/etc/shadow-, mode 0): the same mode once more through fakeroot, which keeps
# it for mke2fs while the real file stays readable.
find "$tree" ! -type l ! -perm -u+r -exec sh -c 'for f; do chmod "$(stat -c %a "$f")" "$f"; done' sh {} +
tar -C "$stage" --owner=0 --group=0 --exclude=./etc/init.d -cf - . | tar -xpf - -C "$tree"
cp "$settings" "$tree/etc/default/evwait-recovery"
systemctl --root="$tree" enable evwait-recovery.service
modules=/lib/modules/$version
mkdir -p "$tree$modules/kernel/drivers/input"
cp "$modules/kernel/drivers/input/evdev.ko" "$tree$modules/kernel/drivers/input/"
cp "$modules/modules.order" "$modules/modules.builtin" "$modules/modules.builtin.modinfo" "$tree$modules/"
depmod -b "$tree" "$version"
sed -i "s|^root:[^:]*:|root:$password:|" "$tree/etc/shadow"
mke2fs -q -F -t ext4 -L root -d "$tree" "$image" 1G
rm -rf "$tree"
"""


def apt_sources():
    """The host's sources of Debian's own archives (no others: their keys are not in the root), for
    mmdebstrap, which otherwise reads them from standard input."""
    files = glob.glob("/etc/apt/sources.list") + glob.glob("/etc/apt/sources.list.d/*.sources") \
        + glob.glob("/etc/apt/sources.list.d/*.list")
    return sorted(p for p in files if re.search(r"(?m)^[^#]*/debian(-security)?/?\s", open(p).read()))


def systemd_base(ctx, name):
    """The root's tar, made once into the cache (an image of its own: both systemd images wait for the
    one mmdebstrap)."""
    base = f"{ctx.cache}/systemd-root.tar"
    if not os.path.exists(base):
        suite = re.search(r"(?m)^VERSION_CODENAME=(\S+)", open("/etc/os-release").read())[1]
        started = time.monotonic()
        run(["mmdebstrap", "--quiet", "--format=tar", "--variant=essential", f"--include={SYSTEMD_PACKAGES}",
             "--dpkgopt=path-exclude=/usr/share/doc/*", "--dpkgopt=path-exclude=/usr/share/man/*",
             "--dpkgopt=path-exclude=/usr/share/locale/*", suite, f"{base}.part"] + apt_sources(),
            env=dict(os.environ, TMPDIR=ctx.work))
        os.replace(f"{base}.part", base)
        print(f"systemd root made by mmdebstrap in {time.monotonic() - started:.0f} s: {base}")
    return {"tar": base}


def systemd(ctx, name, settings):
    """Debian's systemd root (mmdebstrap) on an ext4 disk, with the gate's unit enabled, booted through
    the gate-off initramfs-tools image (the root's drivers)."""
    base = ctx.images.get("systemd-base")["tar"]
    initrd = ctx.images.get("initramfs-tools-off")["initrd"]
    write(f"{ctx.work}/{name}.settings", settings)
    image = f"{ctx.work}/{name}.img"
    shutil.rmtree(f"{ctx.work}/{name}.tree", ignore_errors=True)
    with ctx.cpu:
        run(["fakeroot", "sh", "-c", SYSTEMD_ROOT_SCRIPT, "sh", base, ctx.stage, f"{ctx.work}/{name}.settings",
             ctx.version, f"{ctx.work}/{name}.tree", image, ROOT_PASSWORD])
    return {"disk": image, "initrd": initrd, "append": "root=/dev/vda rootfstype=ext4 rw", "listing": ""}


def booted_with(ctx, name, arguments):
    """Image `name`, booted with more kernel arguments."""
    image = ctx.images.get(name)
    return dict(image, append=f"{image['append']} {arguments}")


IMAGES = {
    "root": root_disk,
    "initramfs-tools": lambda ctx, name: initramfs_tools(ctx, name, SHELL),
    "initramfs-tools-off": lambda ctx, name: initramfs_tools(ctx, name, OFF),
    "dracut": lambda ctx, name: dracut(ctx, name, SHELL),
    "dracut-off": lambda ctx, name: dracut(ctx, name, OFF),
    "dracut-systemd": lambda ctx, name: dracut(ctx, name, SHELL, systemd=True),
    "busybox": lambda ctx, name: busybox(ctx, name, COMMAND),
    "systemd-base": systemd_base,
    "systemd": lambda ctx, name: systemd(ctx, name, SHELL),
    "systemd-off": lambda ctx, name: systemd(ctx, name, OFF),
    # the same image booted with more kernel arguments
    "initramfs-tools recovery-off": lambda ctx, name: booted_with(ctx, "initramfs-tools", "evwait.recovery=off"),
    "initramfs-tools panic": lambda ctx, name: booted_with(ctx, "initramfs-tools", "panic=1"),
}
# The executables and the module of the gate, which an image built while it is off does not hold (the
# initramfs-tools script, which then does nothing, is always there: mkinitramfs copies all scripts).
NOT_WHEN_OFF = ["bin/evwait", "sbin/evwait-recovery", "evdev.ko"]
GATE_FILES = ["bin/evwait", "bin/evwait-held", "sbin/evwait-recovery", "etc/default/evwait-recovery", "/evdev.ko"]
# What each image must hold, or must not, in the listing of its files (lsinitramfs, lsinitrd).
CONTENTS = {
    "initramfs-tools": (GATE_FILES, []),
    "initramfs-tools-off": ([], NOT_WHEN_OFF),
    "dracut": (GATE_FILES, []),
    "dracut-off": ([], NOT_WHEN_OFF),
    "dracut-systemd": (GATE_FILES, []),
}


def check_contents(name, listing):
    want, unwanted = CONTENTS.get(name, ([], []))
    problems = [f"lacks *{w}" for w in want if not re.search(re.escape(w) + r"(\.\w+)?$", listing, re.M)]
    return problems + [f"holds {line.split()[-1]}" for u in unwanted for line in listing.splitlines() if u in line]


class Images:
    """Each image built once, in its own thread, when a case (or another image) first asks for it."""

    def __init__(self, ctx):
        self.ctx, self.lock, self.futures = ctx, threading.Lock(), {}

    def get(self, name):
        with self.lock:
            if name not in self.futures:
                future = self.futures[name] = concurrent.futures.Future()
                threading.Thread(target=self._build, args=(name, future), daemon=True).start()
        return self.futures[name].result()

    def _build(self, name, future):
        started = time.monotonic()
        try:
            image = IMAGES[name](self.ctx, name)
            problems = check_contents(name, image.get("listing", ""))
            if problems:
                raise Fail(f"image {name}: " + "; ".join(problems))
            want, unwanted = CONTENTS.get(name, ([], []))
            held = f", holds {' '.join(want)}" if want else f", holds none of {' '.join(unwanted)}" if unwanted else ""
            print(f"image {name} built in {time.monotonic() - started:.0f} s{held}", flush=True)
            future.set_result(image)
        except Exception as error:
            future.set_exception(Fail(f"image {name}: {error}") if not isinstance(error, Fail) else error)


# ---- booting -----------------------------------------------------------------------------------------------


# The colours of systemd's status lines, kept out of the text the cases look for.
ESCAPE = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")


class Console:
    """The serial console's output as QEMU writes it into a file, without escape sequences. (Into a pipe,
    QEMU's serial port was seen to stall for good once the pipe was full for a moment.)"""

    def __init__(self, path, proc, log):
        self.text, self.done, self.pending = "", False, ""
        self.cond = threading.Condition()
        self.log = log
        threading.Thread(target=self._read, args=(path, proc), daemon=True).start()

    def _read(self, path, proc):
        decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
        try:
            with open(path, "rb") as serial:
                while True:
                    ended = proc.poll() is not None  # read once more after QEMU's end: its last lines
                    chunk = serial.read()
                    if not chunk:
                        if ended:
                            break
                        time.sleep(0.05)
                        continue
                    text = ESCAPE.sub("", self.pending + decoder.decode(chunk).replace("\r", ""))
                    cut = text.rfind("\x1b")  # a sequence cut in two by the read: kept for the next
                    text, self.pending = (text[:cut], text[cut:]) if cut >= 0 and len(text) - cut < 16 else (text, "")
                    self.log.write(text)
                    with self.cond:
                        self.text += text
                        self.cond.notify_all()
        finally:
            with self.cond:
                self.done = True
                self.cond.notify_all()

    def wait_for(self, line, start, deadline):
        """Waits until `line` shows after offset `start`: (offset after it, time seen), or None at the
        deadline, at QEMU's end or at a kernel panic."""
        with self.cond:
            while True:
                at = self.text.find(line, start)
                if at >= 0:
                    return at + len(line), time.monotonic()
                if KERNEL_PANIC in self.text or self.done or time.monotonic() >= deadline:
                    return None
                self.cond.wait(max(0.01, deadline - time.monotonic()))


def monitor_command(path, command):
    """Sends one command to the QEMU monitor at `path` and waits for its next prompt."""
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(path)
        s.settimeout(30)
        seen = b""
        while not seen.endswith(b"(qemu) "):
            seen += s.recv(4096)
        s.sendall(command.encode() + b"\n")
        seen = b""
        while b"(qemu) " not in seen:
            seen += s.recv(4096)


def qemu_command(ctx, image, serial, monitor):
    cmd = ["qemu-system-x86_64", "-machine", "pc", "-accel", "tcg", "-m", "1024", "-nodefaults", "-display",
           "none", "-serial", f"file:{serial}", "-monitor", f"unix:{monitor},server=on,wait=off", "-no-reboot",
           "-kernel", ctx.kernel, "-initrd", image["initrd"], "-append", f"console=ttyS0 {image['append']}"]
    if "disk" in image:
        cmd += ["-drive", f"file={image['disk']},format=raw,if=virtio,snapshot=on"]
    return cmd


def slug(name):
    return re.sub(r"\W+", "-", name).strip("-")


def boot(ctx, case):
    """Builds (or waits for) the case's image and boots it: (problems, seconds of the boot, notes)."""
    name, image_name, steps, unwanted, *gaps = case
    try:
        image = ctx.images.get(image_name)
    except Fail as error:
        return [str(error)], 0.0, []
    files = f"{ctx.work}/{slug(name)}"
    log_path, serial, monitor = f"{files}.log", f"{files}.serial", f"{files}.monitor"
    problems, seen, notes = [], {}, []
    with ctx.cpu, open(log_path, "w") as log, open(f"{files}.qemu", "w") as qemu_output:
        started = time.monotonic()
        deadline = started + BOOT_LIMIT
        open(serial, "w").close()
        proc = subprocess.Popen(qemu_command(ctx, image, serial, monitor), stdin=subprocess.DEVNULL,
                                stdout=qemu_output, stderr=qemu_output)
        console = Console(serial, proc, log)
        at = 0
        try:
            for line, key in steps:
                found = console.wait_for(line, at, deadline)
                if not found:
                    why = " (QEMU ended)" if console.done else " (kernel panic)" if KERNEL_PANIC in console.text else ""
                    problems.append(f"no line {line!r} within {BOOT_LIMIT} s{why}")
                    break
                at, seen[line] = found
                if key:
                    monitor_command(monitor, key)
        finally:
            took = time.monotonic() - started
            proc.kill()
            proc.wait()
    with console.cond:
        text = console.text
    problems += [f"unwanted line {u!r}" for u in unwanted if u in text]
    if len(seen) == len(steps) > 1:
        notes.append(f"{seen[steps[-1][0]] - seen[steps[0][0]]:.1f} s from {steps[0][0]!r} to {steps[-1][0]!r}")
    for first, second, least in gaps[0] if gaps else []:
        if first in seen and second in seen:
            notes.append(f"{seen[second] - seen[first]:.1f} s from the prompt to {second!r}")
            if seen[second] - seen[first] < least:
                problems.append(f"{second!r} less than {least} s after {first!r}")
    if problems:
        problems.append(f"console log: {log_path}")
    return problems, took, notes


def report_lines(text):
    """The console lines of the gate and the cases' markers."""
    marks = [PROMPT, "evwait-recovery", ROOT, COMMAND_RAN, "(initramfs) ", ":/# ", "held:", "rescue mode",
             PANIC_REBOOT, RESTART, "Give root password", DEFAULT_TARGET, "emergency mode",
             "Press Enter for maintenance", "Starting evwait-recovery"]
    return [l.strip() for l in text.splitlines() if any(m in l for m in marks)]


class Context:
    pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the build folder whose install is booted")
    parser.add_argument("--work", required=True, help="folder for the images and the console logs")
    parser.add_argument("--cache", help="folder for what is made once: the kernel, the systemd root "
                                        "(default: WORK/cache)")
    parser.add_argument("--kernel", default=os.environ.get("EVWAIT_BOOT_KERNEL"))
    parser.add_argument("--only", default="", help="run only the cases whose name matches this expression")
    parser.add_argument("--jobs", type=int, default=2, help="boots and image builds at once")
    args = parser.parse_args()
    skip = 1 if os.environ.get("CI") == "true" else 77
    os.environ["PATH"] += ":/usr/sbin:/sbin"  # mkinitramfs, mke2fs, depmod: not in an ordinary user's PATH
    if not shutil.which("qemu-system-x86_64"):
        print("NOT RUN: no qemu-system-x86_64 (Debian's qemu-system-x86)")
        sys.exit(skip)
    ctx = Context()
    ctx.work = os.path.abspath(args.work)
    ctx.cache = os.path.abspath(args.cache or f"{ctx.work}/cache")
    os.makedirs(ctx.cache, exist_ok=True)
    ctx.kernel, ctx.version = find_kernel(args.kernel, ctx.cache)
    if not ctx.kernel:
        print(f"NOT RUN: no kernel to boot: {ctx.version}")
        sys.exit(skip)
    print(f"kernel {ctx.kernel} ({ctx.version}), modules /lib/modules/{ctx.version}")
    ctx.stage = f"{ctx.work}/stage"
    shutil.rmtree(ctx.stage, ignore_errors=True)
    run(["cmake", "--install", args.build, "--prefix", "/usr"], env=dict(os.environ, DESTDIR=ctx.stage))
    ctx.cpu = threading.Semaphore(args.jobs)
    ctx.images = Images(ctx)

    cases = [c for c in CASES if re.search(args.only, c[0])]
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(len(cases)) as pool:
        results = [(case, pool.submit(boot, ctx, case)) for case in cases]
        failed = 0
        for case, result in results:
            try:
                problems, took, notes = result.result()
            except Exception as error:  # a broken case must show, not vanish with its thread
                problems, took, notes = [f"test error: {error!r}"], 0.0, []
            failed += bool(problems)
            print(("FAIL " if problems else "ok   ") + f"{case[0]}: boot {took:.0f} s"
                  + "".join("\n     " + n for n in notes + problems))
            if os.path.exists(f"{ctx.work}/{slug(case[0])}.log"):
                with open(f"{ctx.work}/{slug(case[0])}.log", errors="replace") as log:
                    print("".join(f"     | {line}\n" for line in report_lines(log.read())), end="", flush=True)
    print(f"all boots and images: {time.monotonic() - started:.0f} s")
    print(f"{len(cases) - failed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
