#!/usr/bin/env python3
"""Mutation check: puts one small fault at a time into a scratch copy of the
tree, rebuilds it and runs the unit and end-to-end tests against it. A fault
that no test notices is a survivor: either a test is missing, or the fault is
on the accepted list with the reason no test can see it.

    tests/mutation/run.py                 every mutant in mutants.txt
    tests/mutation/run.py ID ...          only these
    tests/mutation/run.py --scratch DIR   where the copy and its build go
                                          (default: /tmp/pelmar-mutation)

The working tree is never touched. Exit status: 0 when every survivor is
accepted, 1 when one is not, 2 when the check itself cannot run (a mutant
whose text is not found once in its file, a build or a test run that fails
before any mutant is applied).
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
LABELS = "unit|e2e"
# A mutant whose tests run longer than this has made something wait for
# ever, and counts as killed. An unmutated run takes under a minute.
TEST_CAP_SECONDS = 300
BUILD_CAP_SECONDS = 900


class Mutant:
    def __init__(self, ident, path, line):
        self.ident = ident
        self.path = path
        self.line = line
        self.old = []
        self.new = []

    def texts(self):
        return "\n".join(self.old), "\n".join(self.new)


def read_mutants(file_name):
    """The list's blocks: "@ id path", then "- " lines (the text as it is,
    found exactly once in the file) and "+ " lines (what replaces it; none
    to remove it)."""
    mutants = []
    with open(file_name, encoding="utf-8") as text:
        for number, line in enumerate(text, 1):
            line = line.rstrip("\n")
            if line.startswith("@ "):
                ident, path = line[2:].split()
                mutants.append(Mutant(ident, path, number))
            elif line.startswith("-") or line.startswith("+"):
                if not mutants:
                    sys.exit(f"{file_name}:{number}: a change before its first '@'")
                body = line[2:] if len(line) > 1 else ""
                (mutants[-1].old if line[0] == "-" else mutants[-1].new).append(body)
            elif line.strip() and not line.startswith("#"):
                sys.exit(f"{file_name}:{number}: not a mutant line: {line}")
    seen = set()
    for mutant in mutants:
        if mutant.ident in seen or not mutant.old:
            sys.exit(f"{file_name}:{mutant.line}: {mutant.ident}: a repeated id or no '-' line")
        seen.add(mutant.ident)
    return mutants


def read_accepted(file_name):
    """Ids, one per line, each after the comment that gives its reason (the
    comment above a group of ids holds for each of them)."""
    accepted = {}
    comment = []
    last_was_id = False
    with open(file_name, encoding="utf-8") as text:
        for line in text:
            line = line.strip()
            if line.startswith("#"):
                if last_was_id:
                    comment = []
                comment.append(line.lstrip("# "))
                last_was_id = False
            elif line:
                accepted[line] = " ".join(comment)
                last_was_id = True
            elif not last_was_id:
                comment = []  # a paragraph of its own, such as the file's head
    return accepted


def run(command, cap, log):
    """Runs `command` in a process group of its own; None when it outlasts
    `cap` seconds, when the whole group is ended."""
    with open(log, "w", encoding="utf-8") as out:
        process = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT,
                                   start_new_session=True)
        try:
            return process.wait(timeout=cap)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            return None


def same_file(origin, target):
    if os.path.islink(origin) or os.path.islink(target) or not os.path.isfile(target):
        return False
    with open(origin, "rb") as one, open(target, "rb") as other:
        return one.read() == other.read()


def copy_tree(scratch):
    """Brings the scratch copy up to the working tree. Only files that differ
    are written, and with the time of writing: a copy that kept the working
    tree's older times would hide from the build that an object was last
    compiled from a mutant."""
    tree = os.path.join(scratch, "tree")
    files = subprocess.run(
        ["git", "-C", SOURCE, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        check=True, capture_output=True).stdout.decode().split("\0")
    wanted = set()
    for name in filter(None, files):
        origin = os.path.join(SOURCE, name)
        if not os.path.lexists(origin):
            continue
        target = os.path.join(tree, name)
        wanted.add(os.path.normpath(target))
        if same_file(origin, target):
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if os.path.lexists(target):
            os.remove(target)
        if os.path.islink(origin):
            os.symlink(os.readlink(origin), target)
        else:
            shutil.copyfile(origin, target)
            shutil.copymode(origin, target)
    for root, _, names in os.walk(tree):
        for name in names:
            path = os.path.normpath(os.path.join(root, name))
            if path not in wanted:
                os.remove(path)
    return tree


def first_failure(log):
    with open(log, encoding="utf-8", errors="replace") as text:
        for line in text:
            found = re.search(r"Test\s+#\d+: (\S+) \.+\**\s*(Failed|Timeout|Exception|Not Run)", line)
            if found:
                return found.group(1)
    return "?"


def build(build_dir, log):
    return run(["cmake", "--build", build_dir, f"-j{os.cpu_count() or 2}"], BUILD_CAP_SECONDS, log)


def test(build_dir, log):
    return run(["ctest", "--test-dir", build_dir, "-L", LABELS, "-j2", "--stop-on-failure",
                "--output-on-failure"], TEST_CAP_SECONDS, log)


def check(mutant, tree, build_dir, logs):
    file_name = os.path.join(tree, mutant.path)
    with open(file_name, encoding="utf-8") as text:
        original = text.read()
    old, new = mutant.texts()
    if original.count(old) != 1:
        return "stale", f"found {original.count(old)} times in {mutant.path}", 0
    started = time.monotonic()
    try:
        with open(file_name, "w", encoding="utf-8") as text:
            text.write(original.replace(old, new))
        log = os.path.join(logs, mutant.ident + ".log")
        if build(build_dir, log) != 0:
            return "no-compile", "", time.monotonic() - started
        status = test(build_dir, log)
        seconds = time.monotonic() - started
        if status is None:
            return "killed", f"tests ran past {TEST_CAP_SECONDS} s", seconds
        if status != 0:
            return "killed", first_failure(log), seconds
        return "survived", "", seconds
    finally:
        with open(file_name, "w", encoding="utf-8") as text:
            text.write(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("only", nargs="*", help="ids of the mutants to check")
    parser.add_argument("--scratch", default="/tmp/pelmar-mutation")
    options = parser.parse_args()

    mutants = read_mutants(os.path.join(HERE, "mutants.txt"))
    accepted = read_accepted(os.path.join(HERE, "accepted.txt"))
    unknown = set(options.only) - {m.ident for m in mutants}
    if unknown:
        sys.exit(f"no such mutant: {' '.join(sorted(unknown))}")
    if options.only:
        mutants = [m for m in mutants if m.ident in options.only]

    os.makedirs(options.scratch, exist_ok=True)
    tree = copy_tree(options.scratch)
    build_dir = os.path.join(options.scratch, "build")
    logs = os.path.join(options.scratch, "logs")
    os.makedirs(logs, exist_ok=True)
    started = time.monotonic()
    # A build of its own, with warnings as warnings: a mutant may well warn.
    configured = run(["cmake", "-S", tree, "-B", build_dir, "-DCMAKE_BUILD_TYPE=RelWithDebInfo"],
                     BUILD_CAP_SECONDS, os.path.join(logs, "configure.log"))
    baseline = os.path.join(logs, "baseline.log")
    if configured != 0 or build(build_dir, baseline) != 0 or test(build_dir, baseline) != 0:
        print(f"the unmutated tree does not build or pass its tests: {baseline}")
        return 2

    results = []
    for index, mutant in enumerate(mutants, 1):
        outcome, detail, seconds = check(mutant, tree, build_dir, logs)
        results.append((mutant, outcome))
        print(f"[{index}/{len(mutants)}] {outcome:10} {mutant.ident:32} {seconds:5.0f} s  {detail}",
              flush=True)

    counts = {kind: sum(1 for _, o in results if o == kind)
              for kind in ("killed", "survived", "no-compile", "stale")}
    compiled = counts["killed"] + counts["survived"]
    score = 100.0 * counts["killed"] / compiled if compiled else 0.0
    print(f"\n{counts['killed']} of {compiled} compiled mutants killed ({score:.1f} %), "
          f"{counts['no-compile']} did not compile, {counts['stale']} stale; "
          f"{(time.monotonic() - started) / 60:.0f} min")
    rooms = {}
    for mutant, outcome in results:
        room = mutant.path.split("/")[1] if mutant.path.startswith("src/") else mutant.path
        rooms.setdefault(room, [0, 0])
        rooms[room][0] += outcome == "killed"
        rooms[room][1] += outcome in ("killed", "survived")
    print("by room: " + ", ".join(f"{room} {k}/{n}" for room, (k, n) in sorted(rooms.items())))
    unaccepted = []
    for mutant, outcome in results:
        if outcome == "survived":
            reason = accepted.get(mutant.ident)
            print(f"survivor {mutant.ident} ({mutant.path}, list line {mutant.line})"
                  + (f": accepted, {reason}" if reason is not None else ""))
            if reason is None:
                unaccepted.append(mutant.ident)
        elif outcome in ("no-compile", "stale"):
            print(f"{outcome} {mutant.ident} (list line {mutant.line})")
    if counts["stale"]:
        return 2
    return 1 if unaccepted else 0


if __name__ == "__main__":
    sys.exit(main())
