#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""One source gives one package, bit for bit.

For every package preset in CMakePresets.json that makes a Debian package,
the package is made twice and the two .deb files must be the same bytes:

  first:  in the preset's own build folder, from this tree, under umask 022,
          with the preset's configure, build and package steps (its tests are
          built but not run; after the workflows this only repackages);
  second: from a copy of the tree without its git history, in a build folder
          of another name and path, under umask 077, in another time zone,
          at least a second later, without tests (-DBUILD_TESTING=OFF), and,
          when run as root, as the user nobody.

SOURCE_DATE_EPOCH is removed from the environment, so both take their time
stamps from the changelog; the first package's time stamps must all be the
date of its newest entry. A difference names the package and shows where
the two differ: the first differing byte, and listings of the ar members and
of the tar entries (mode, owner, time, size, hash) of both.

Usage: tests/reproducible_packages.py [--keep] [PRESET...]
"""
import argparse
import difflib
import email.utils
import gzip
import hashlib
import io
import json
import lzma
import os
import pwd
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Keys a package preset may have that the second build needs not repeat.
PLAIN_KEYS = {"name", "displayName", "description", "configurePreset", "generators", "inherits",
              "hidden", "vendor"}


class Failure(Exception):
    pass


def load_presets(path, seen=None):
    """Package presets by name, from the file and the files it includes."""
    seen = set() if seen is None else seen
    path = os.path.abspath(path)
    if path in seen:
        return {}
    seen.add(path)
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    presets = {}
    for included in data.get("include", []):
        presets.update(load_presets(os.path.join(os.path.dirname(path), included), seen))
    for preset in data.get("packagePresets", []):
        presets[preset["name"]] = preset
    return presets


def resolved(presets, name, key):
    """A preset's value for key, looked up through what it inherits."""
    preset = presets[name]
    if key in preset:
        return preset[key]
    parents = preset.get("inherits", [])
    for parent in [parents] if isinstance(parents, str) else parents:
        value = resolved(presets, parent, key)
        if value is not None:
            return value
    return None


def deb_presets(presets):
    chosen = []
    for name, preset in presets.items():
        if preset.get("hidden"):
            continue
        if "DEB" not in (resolved(presets, name, "generators") or []):
            continue
        extra = set(preset) - PLAIN_KEYS
        if extra:
            raise Failure(f"package preset {name} sets {', '.join(sorted(extra))}, which the second "
                          "build here does not repeat: teach tests/reproducible_packages.py")
        chosen.append((name, resolved(presets, name, "configurePreset")))
    return chosen


def run(command, cwd, mask, log, env, user=None):
    """Runs a command under the umask, as the user when given; its output goes
    to the log, and is returned."""
    if user:
        command = ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups",
                   "--"] + command
    old = os.umask(mask)
    try:
        done = subprocess.run(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
    finally:
        os.umask(old)
    with open(log, "a", encoding="utf-8") as f:
        f.write(f"$ (umask {mask:03o}; cd {cwd}; {' '.join(command)})\n{done.stdout}\n")
    if done.returncode != 0:
        tail = "\n".join(done.stdout.splitlines()[-30:])
        raise Failure(f"'{' '.join(command)}' failed with status {done.returncode} (log: {log}):\n{tail}")
    return done.stdout


def packages_made(cpack_output):
    """The .deb files cpack says it generated."""
    debs = re.findall(r"^CPack: - package: (.*\.deb) generated\.$", cpack_output, re.M)
    if not debs:
        raise Failure("cpack reported no .deb:\n" + cpack_output[-2000:])
    return {os.path.basename(d): d for d in debs}


def ar_members(data):
    if data[:8] != b"!<arch>\n":
        raise Failure("not an ar archive")
    members, offset = [], 8
    while offset < len(data):
        header = data[offset:offset + 60]
        size = int(header[48:58])
        members.append({"name": header[0:16].decode().strip(), "time": int(header[16:28]),
                        "owner": header[28:34].decode().strip(), "group": header[34:40].decode().strip(),
                        "mode": header[40:48].decode().strip(), "size": size,
                        "data": data[offset + 60:offset + 60 + size]})
        offset += 60 + size + size % 2
    return members


def tar_entries(member):
    """The entries of a control or data tar, or None for a compression this
    script cannot read."""
    name, data = member["name"], member["data"]
    if name.endswith(".gz"):
        data = gzip.decompress(data)
    elif name.endswith(".xz"):
        data = lzma.decompress(data)
    elif not name.endswith(".tar"):
        return None
    entries = []
    with tarfile.open(fileobj=io.BytesIO(data)) as tar:
        for info in tar:
            content = tar.extractfile(info).read() if info.isfile() else b""
            entries.append({"name": info.name, "mode": info.mode, "type": info.type.decode(),
                            "uid": info.uid, "gid": info.gid, "uname": info.uname,
                            "gname": info.gname, "time": info.mtime, "size": info.size,
                            "sha256": hashlib.sha256(content).hexdigest(), "link": info.linkname})
    return entries


def listing(data):
    """Lines that describe a .deb: its ar members, and each tar's entries."""
    lines = []
    for m in ar_members(data):
        lines.append(f"ar {m['name']}: mode {m['mode']} owner {m['owner']}/{m['group']} "
                     f"time {m['time']} size {m['size']} sha256 {hashlib.sha256(m['data']).hexdigest()}")
        if m["name"].startswith(("control.tar", "data.tar")):
            if m["name"].endswith(".gz"):
                lines.append(f"  {m['name']} gzip header: flags {m['data'][3]} time "
                             f"{int.from_bytes(m['data'][4:8], 'little')}")
            entries = tar_entries(m)
            if entries is None:
                lines.append(f"  {m['name']}: not listed, compression unknown here")
                continue
            for e in entries:
                lines.append(f"  {m['name']}: {e['type']} {e['mode']:04o} {e['uid']}/{e['gid']} "
                             f"{e['uname']}/{e['gname']} time {e['time']} size {e['size']} "
                             f"{e['sha256'][:16]} {e['name']}{' -> ' + e['link'] if e['link'] else ''}")
    return lines


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return f"byte {i + 1} differs: {x:#04x} against {y:#04x}"
    return f"one is a prefix of the other: {len(a)} bytes against {len(b)}"


def stray_times(data, epoch):
    """Every time stamp in the package that is not the expected one."""
    stray = []
    for m in ar_members(data):
        if m["time"] != epoch:
            stray.append(f"ar member {m['name']}: {m['time']}")
        if m["name"].startswith(("control.tar", "data.tar")):
            for e in tar_entries(m) or []:
                if e["time"] != epoch:
                    stray.append(f"{m['name']} {e['name']}: {e['time']}")
    return stray


def changelog_epoch(path):
    """The date of the changelog's newest entry, as Python's mail parser reads it."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith(" -- "):
                return int(email.utils.parsedate_to_datetime(line.split(">  ", 1)[1].strip()).timestamp())
    raise Failure(f"{path} has no entry")


def copy_tree(source, destination):
    def ignored(folder, names):
        top = os.path.abspath(folder) == source
        return [n for n in names if n == "__pycache__" or (top and (n.startswith("build") or n == ".git"))]
    shutil.copytree(source, destination, symlinks=True, ignore=ignored)


def check(preset, configure_preset, work, env, second_env, user, epoch):
    logs = os.path.join(work, "logs")
    log_a, log_b = os.path.join(logs, f"{preset}.first.log"), os.path.join(logs, f"{preset}.second.log")

    # First: as the workflow does it, in the preset's folder.
    out = run(["cmake", "--preset", configure_preset], SOURCE, 0o022, log_a, env)
    folder = re.search(r"^-- Build files have been written to: (.*)$", out, re.M).group(1)
    run(["cmake", "--build", folder, "--parallel", "2"], SOURCE, 0o022, log_a, env)
    first = packages_made(run(["cpack", "--preset", preset], SOURCE, 0o022, log_a, env))
    made = time.time()

    # Second: elsewhere, from the copy, under another umask, zone and user.
    tree = os.path.join(work, "copy-of-the-source")
    second_folder = os.path.join(work, "elsewhere", f"{preset}-second-build")
    run(["cmake", "--preset", configure_preset, "-B", second_folder, "-DBUILD_TESTING=OFF"],
        tree, 0o077, log_b, second_env, user)
    run(["cmake", "--build", second_folder, "--parallel", "2"], tree, 0o077, log_b, second_env, user)
    time.sleep(max(0.0, made + 1.5 - time.time()))
    second = packages_made(run(["cpack", "-G", "DEB"], second_folder, 0o077, log_b, second_env, user))

    if sorted(first) != sorted(second):
        raise Failure(f"preset {preset} made {sorted(first)} the first time and {sorted(second)} the second")
    problems = []
    for name in sorted(first):
        with open(first[name], "rb") as f:
            a = f.read()
        with open(second[name], "rb") as f:
            b = f.read()
        if a != b:
            diff = difflib.unified_diff(listing(a), listing(b), first[name], second[name], lineterm="", n=1)
            problems.append(f"{name} (preset {preset}) differs between builds: {first_difference(a, b)}\n"
                            + "\n".join(list(diff)[:80]))
            continue
        stray = stray_times(a, epoch)
        if stray:
            problems.append(f"{name} (preset {preset}): time stamps other than the changelog's {epoch}:\n  "
                            + "\n  ".join(stray[:20]))
            continue
        print(f"{preset}: {name} the same twice, sha256 {hashlib.sha256(a).hexdigest()}", flush=True)
    if problems:
        raise Failure("\n".join(problems))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("presets", nargs="*", help="package presets to check (default: all that make a .deb)")
    parser.add_argument("--keep", action="store_true", help="keep the second builds and the logs")
    args = parser.parse_args()

    try:
        chosen = deb_presets(load_presets(os.path.join(SOURCE, "CMakePresets.json")))
    except Failure as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    if args.presets:
        unknown = set(args.presets) - {name for name, _ in chosen}
        if unknown:
            print(f"error: no package preset that makes a .deb: {', '.join(sorted(unknown))}", file=sys.stderr)
            return 2
        chosen = [c for c in chosen if c[0] in args.presets]
    if not chosen:
        print("error: CMakePresets.json has no package preset that makes a .deb", file=sys.stderr)
        return 2

    work = tempfile.mkdtemp(prefix="evwait-reproducible-")
    os.makedirs(os.path.join(work, "logs"))
    copy_tree(SOURCE, os.path.join(work, "copy-of-the-source"))
    env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    second_env = dict(env, TZ="XXX-05:45", HOME=work)
    user = None
    if os.geteuid() == 0:
        user = pwd.getpwnam("nobody")
        for folder, dirs, files in os.walk(work):
            for name in [folder] + [os.path.join(folder, n) for n in dirs + files]:
                os.lchown(name, user.pw_uid, user.pw_gid)
    epoch = changelog_epoch(os.path.join(SOURCE, "packaging", "changelog"))
    print(f"Packages of {', '.join(n for n, _ in chosen)}, each made twice; second builds in {work}"
          f"{' as nobody' if user else ''}; time stamps expected: {epoch}", flush=True)

    failed = []
    for name, configure_preset in chosen:
        try:
            check(name, configure_preset, work, env, second_env, user, epoch)
        except Failure as e:
            print(f"FAILED {name}: {e}", flush=True)
            failed.append(name)
    if failed:
        print(f"Not the same twice: {', '.join(failed)} (builds and logs kept in {work})")
        return 1
    print(f"All {len(chosen)} package presets give the same package twice")
    if not args.keep:
        shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
