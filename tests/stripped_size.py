#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Compares the stripped sizes of a preset build's executables with the row of doc/cost.md for that
preset and the toolchain that built them, so that a figure there is updated, never silently wrong.

Usage: stripped_size.py --table doc/cost.md --preset NAME --compiler "GNU 12.2.0" --linker LD --strip STRIP
                        --map evwait.map -- evwait=path/to/evwait [evwait-held=path/to/evwait-held ...]

The table is the first one under the heading "Sizes of the preset builds": columns preset, toolchain,
measured (the date), then one column per executable with its stripped size in bytes. The toolchain is
named "GCC 12.2.0, binutils 2.40, glibc 2.36": the compiler as CMake found it, the linker's version, and
the C library and its version as the link map shows it linked. Without a row for this preset and
toolchain the test is skipped (status 77), printing the row to add.
"""
import argparse, os, re, subprocess, sys, tempfile

HEADING = "## Sizes of the preset builds"
SKIP = 77


def table_rows(path):
    """The rows of the size table as dicts by column name."""
    with open(path) as f:
        text = f.read()
    at = text.find(f"\n{HEADING}\n")
    if at < 0:
        sys.exit(f"FAIL {path} has no heading '{HEADING}'")
    lines = [l.strip() for l in text[at:].splitlines()]
    start = next((i for i, l in enumerate(lines) if l.startswith("|")), None)
    if start is None:
        sys.exit(f"FAIL {path} has no table under '{HEADING}'")
    table = []
    for line in lines[start:]:
        if not line.startswith("|"):
            break
        table.append([cell.strip() for cell in line.strip("|").split("|")])
    header, rows = table[0], table[2:]
    return header, [dict(zip(header, row)) for row in rows]


def linker_name(linker):
    first = subprocess.run([linker, "--version"], capture_output=True, text=True, check=True).stdout.splitlines()[0]
    if first.startswith("GNU ld") or first.startswith("GNU gold"):
        return "binutils " + first.split()[-1]
    return first


def c_library(map_file):
    """The C library the link map shows, with its version as the library itself states it."""
    with open(map_file) as f:
        loads = re.findall(r"^LOAD (\S*/libc(?:\.so\.6|\.a))$", f.read(), re.MULTILINE)
    if not loads:
        sys.exit(f"FAIL {map_file} shows no libc.so.6 or libc.a linked")
    library = loads[0]
    if library.endswith(".so.6"):
        with open(library, "rb") as f:
            data = f.read()
    else:  # glibc's banner is in the archive's version.o, musl's __libc_version in version.lo or .o
        members = subprocess.run(["ar", "t", library], capture_output=True, text=True, check=True).stdout.split()
        member = next((m for m in members if m in ("version.lo", "version.o")), None)
        if member is None:
            sys.exit(f"FAIL {library} has no version member")
        data = subprocess.run(["ar", "p", library, member], capture_output=True, check=True).stdout
    glibc = re.search(rb"GNU C Library .*? release version (\d+\.\d+)", data)
    if glibc:
        return "glibc " + glibc[1].decode()
    with tempfile.TemporaryDirectory() as tmp:
        with open(f"{tmp}/version.o", "wb") as f:
            f.write(data)
        dump = subprocess.run(["readelf", "-p", ".rodata.__libc_version", f"{tmp}/version.o"],
                              capture_output=True, text=True).stdout
    musl = re.search(r"\]\s+(\d+\.\d+\.\d+)\s*$", dump, re.MULTILINE)
    if musl:
        return "musl " + musl[1]
    sys.exit(f"FAIL cannot tell which C library {library} is, or its version")


def stripped_size(strip, path):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "stripped")
        subprocess.run([strip, "-o", out, path], check=True)
        return os.path.getsize(out)


def main():
    parser = argparse.ArgumentParser()
    for option in ("--table", "--preset", "--compiler", "--linker", "--strip", "--map"):
        parser.add_argument(option, required=True)
    parser.add_argument("files", nargs="+", help="name=path of each executable, name as the table's column")
    args = parser.parse_args()

    compiler = re.sub(r"^GNU ", "GCC ", args.compiler)
    toolchain = f"{compiler}, {linker_name(args.linker)}, {c_library(args.map)}"
    sizes = {}
    for item in args.files:
        name, _, path = item.partition("=")
        sizes[name] = stripped_size(args.strip, path)
    header, rows = table_rows(args.table)
    measured = " | ".join(f"{sizes.get(column, 0):,}" for column in header[3:])
    row = next((r for r in rows if r.get("preset") == f"`{args.preset}`" and r.get("toolchain") == toolchain), None)
    if row is None:
        print(f"SKIP {args.table} has no row for preset {args.preset} built with {toolchain}; "
              f"the row for it: | `{args.preset}` | {toolchain} | <date> | {measured} |")
        return SKIP
    failed = False
    for name, size in sizes.items():
        if name not in row:
            print(f"FAIL {args.table}: the size table has no column {name}")
            failed = True
            continue
        stated = row[name].replace(",", "")
        print(f"{name}: {size:,} bytes stripped, {args.table} says {row[name] or '(nothing)'} "
              f"(preset {args.preset}, {toolchain}, measured {row['measured']})")
        if stated != str(size):
            print(f"FAIL {name}: the figure no longer matches this build: update the row to | `{args.preset}` | "
                  f"{toolchain} | <date> | {measured} |")
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
