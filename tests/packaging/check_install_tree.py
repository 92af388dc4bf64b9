#!/usr/bin/env python3
"""Installs the build tree into a scratch prefix and compares what lands
there with the install layout we promise, file for file.

Usage: check_install_tree.py BUILD_DIR WITH_DISCOVER(0|1)
"""
import os
import stat
import subprocess
import sys
import tempfile

# Each systemd unit and the program its ExecStart must name.
UNITS = {"lib/systemd/system/quorvellan-beacon.service": "sbin/quorvellan-beacon",
         "lib/systemd/system/quorvellan-discover.service": "bin/quorvellan-discover",
         "lib/systemd/system/quorvellan-attach.service": "bin/quorvellan-discover"}
# The configuration a unit's command line names, installed beside it.
UNIT_CONFIG = {"lib/systemd/system/quorvellan-attach.service": "etc/quorvellan/attach.rules"}
DOCS = ["README.md", "announcement.md", "announcement.schema.json", "discover.md",
        "collector.md"]


def expected_files(with_discover):
    files = {"sbin/quorvellan-beacon": "program",
             "share/man/man8/quorvellan-beacon.8.gz": "doc"}
    if with_discover:
        files["bin/quorvellan-discover"] = "program"
        files["share/man/man1/quorvellan-discover.1.gz"] = "doc"
        files["share/doc/quorvellan/quorvellan.rules.yml"] = "doc"
        files[UNIT_CONFIG["lib/systemd/system/quorvellan-attach.service"]] = "doc"
    for doc in DOCS:
        files["share/doc/quorvellan/" + doc] = "doc"
    for unit, program in UNITS.items():
        if with_discover or "discover" not in program:
            files[unit] = "doc"
    return files


def installed_files(prefix):
    found = set()
    for root, _, names in os.walk(prefix):
        for name in names:
            found.add(os.path.relpath(os.path.join(root, name), prefix))
    return found


def has_symbols(path):
    # --strip must have removed the symbol table, or the device pays for it.
    sections = subprocess.run(["readelf", "-S", "-W", path], check=True,
                              capture_output=True, text=True).stdout
    return ".symtab" in sections


def unit_problems(name, path, prefix):
    # Installed elsewhere than configured (here, to a scratch prefix), a unit
    # must still name its program where it landed.
    with open(path) as unit:
        starts = [line.split() for line in unit if line.startswith("ExecStart=")]
    wanted = "ExecStart=%s/%s" % (prefix, UNITS[name])
    if [words[0] for words in starts] != [wanted]:
        return [f"{name}: {starts}, want {wanted}"]
    config = UNIT_CONFIG.get(name)
    if config and "%s/%s" % (prefix, config) not in starts[0]:
        return [f"{name}: {starts[0]} does not name {prefix}/{config}"]
    return []


def reinstall_keeps_config(build_dir, prefix):
    # A configuration file already there is the person's: installing again
    # must not undo their edits.
    problems = []
    for config in sorted(set(UNIT_CONFIG.values())):
        path = os.path.join(prefix, config)
        with open(path, "a") as edited:
            edited.write("edited\n")
        subprocess.run(["cmake", "--install", build_dir, "--prefix", prefix],
                       check=True, stdout=subprocess.DEVNULL)
        with open(path) as kept:
            if not kept.read().endswith("edited\n"):
                problems.append(f"{config}: a new install overwrote the person's edits")
    return problems


def main():
    build_dir, with_discover = sys.argv[1], sys.argv[2] == "1"
    expected = expected_files(with_discover)
    problems = []
    with tempfile.TemporaryDirectory() as prefix:
        subprocess.run(["cmake", "--install", build_dir, "--prefix", prefix, "--strip"],
                       check=True, stdout=subprocess.DEVNULL)
        found = installed_files(prefix)
        for extra in sorted(found - set(expected)):
            problems.append("unexpected file installed: " + extra)
        for missing in sorted(set(expected) - found):
            problems.append("expected file not installed: " + missing)
        for name in sorted(found & set(expected)):
            path = os.path.join(prefix, name)
            mode = stat.S_IMODE(os.lstat(path).st_mode)
            if expected[name] == "program":
                if mode != 0o755:
                    problems.append(f"{name}: mode {mode:o}, want 755")
                if has_symbols(path):
                    problems.append(f"{name}: not stripped")
            elif mode != 0o644:
                problems.append(f"{name}: mode {mode:o}, want 644")
            if name in UNITS:
                problems += unit_problems(name, path, prefix)
        if with_discover and not problems:
            problems += reinstall_keeps_config(build_dir, prefix)
    for problem in problems:
        print("FAIL:", problem)
    print(f"{len(expected)} files expected, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
