#!/usr/bin/env python3
"""Do the tests catch the faults they are there for?

Usage: tools/mutants.py [--list tools/mutants.txt] [--build build-mutants] [--only TEXT]
                        [--timeout SECONDS] [--check]

Puts each fault of the list into the source, one line at a time, rebuilds
only the test program that should catch it, runs that program through ctest
and puts the line back. A fault is caught when the tests fail (or hang past
the timeout), survived when they pass; one that does not compile counts apart.
Prints each outcome as it comes and the share caught at the end. The sources
are always restored, also when interrupted. Slow (a build per fault): not
part of the everyday tests.
"""

import argparse
import os
import signal
import subprocess
import sys
import time
from dataclasses import dataclass

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))


@dataclass
class Mutant:
    file: str
    target: str
    before: str
    after: str
    fault: str
    line: int  # in the list


def read_list(path):
    mutants = []
    with open(path, encoding="utf-8") as listing:
        for number, text in enumerate(listing, 1):
            text = text.rstrip("\n")
            if not text.strip() or text.lstrip().startswith("#"):
                continue
            fields = split_fields(text)
            if len(fields) != 5:
                sys.exit(f"{path}:{number}: expected file | target | line | becomes | fault")
            file, target, before, after, fault = fields
            mutants.append(Mutant(file, target, unquote(before), unquote(after), fault, number))
    return mutants


def split_fields(text):
    # " | " parts the fields, except inside `backquotes`.
    fields = []
    for piece in text.split(" | "):
        if fields and fields[-1].startswith("`") and not closed(fields[-1]):
            fields[-1] += " | " + piece
        else:
            fields.append(piece)
    return [field.strip() for field in fields]


def closed(field):
    field = field.rstrip()
    return len(field) >= 2 and field.endswith("`")


def unquote(text):
    # Backquotes keep leading and trailing blanks: `  if (d > stepLimit)`.
    return text[1:-1] if len(text) >= 2 and text[0] == "`" and text[-1] == "`" else text


def mutated(mutant):
    """The file's text with the fault in, or an error for a stale entry."""
    with open(os.path.join(ROOT, mutant.file), encoding="utf-8") as source:
        text = source.read()
    found = text.count(mutant.before)
    if found != 1:
        return text, None, f"the line is in the file {found} times, not once"
    if "\n" in mutant.before or "\n" in mutant.after:
        return text, None, "a fault changes one line"
    return text, text.replace(mutant.before, mutant.after), None


def run(command, timeout=None):
    """Runs `command` in a process group of its own; (exit code, output, timed out)."""
    process = subprocess.Popen(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
        return process.returncode, output, False
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return -1, output, True


def build(build_dir, target):
    code, output, _ = run(["cmake", "--build", build_dir, "--target", target, "-j2"])
    return code == 0, output


def test(build_dir, target, timeout):
    code, output, timed_out = run(
        ["ctest", "--test-dir", build_dir, "-R", f"^{target}$", "--output-on-failure"], timeout)
    if "No tests were found" in output:
        sys.exit(f"ctest knows no test named {target}")
    return code == 0 and not timed_out, timed_out, output


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--list", default=os.path.join(ROOT, "tools", "mutants.txt"))
    parser.add_argument("--build", default=os.path.join(ROOT, "build-mutants"))
    parser.add_argument("--only", default="", help="only faults whose entry contains this text")
    parser.add_argument("--timeout", type=int, default=240, help="seconds a test program may run")
    parser.add_argument("--check", action="store_true",
                        help="only check that every line of the list is in its file once")
    args = parser.parse_args()

    mutants = [m for m in read_list(args.list)
               if args.only in f"{m.file} {m.target} {m.before} {m.after} {m.fault}"]
    stale = [(m, problem) for m in mutants for _, _, problem in [mutated(m)] if problem]
    for m, problem in stale:
        print(f"{args.list}:{m.line}: {m.file}: {problem}: {m.before!r}")
    if stale or args.check:
        return 1 if stale else 0

    code, output, _ = run(["cmake", "-S", ROOT, "-B", args.build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                           "-DWHORLGEN_BUILD_BENCH=OFF"])
    if code != 0:
        sys.exit(output)
    # The tests must pass as the sources stand, or nothing can be learnt.
    for target in sorted({m.target for m in mutants}):
        built, output = build(args.build, target)
        passed, _, test_output = test(args.build, target, args.timeout) if built else (False, 0, "")
        if not passed:
            sys.exit(f"{target} does not pass as the sources stand:\n{output}{test_output}")

    caught, survived, stillborn = [], [], []
    started = time.monotonic()
    for number, m in enumerate(mutants, 1):
        original, text, _ = mutated(m)
        path = os.path.join(ROOT, m.file)
        try:
            with open(path, "w", encoding="utf-8") as source:
                source.write(text)
            built, _ = build(args.build, m.target)
            if not built:
                outcome = "does not compile"
                stillborn.append(m)
            else:
                passed, timed_out, _ = test(args.build, m.target, args.timeout)
                outcome = "SURVIVED" if passed else ("caught (hung)" if timed_out else "caught")
                (survived if passed else caught).append(m)
        finally:
            with open(path, "w", encoding="utf-8") as source:
                source.write(original)
        print(f"[{number}/{len(mutants)}] {outcome:16} {m.target:18} {m.fault}", flush=True)

    judged = len(caught) + len(survived)
    share = 100.0 * len(caught) / judged if judged else 0.0
    minutes = (time.monotonic() - started) / 60
    print(f"\n{len(caught)} of {judged} faults caught ({share:.0f} %), "
          f"{len(stillborn)} did not compile; {minutes:.0f} min")
    for m in survived:
        print(f"  survived: {m.file}: {m.fault}  ({args.list}:{m.line})")
    return 0 if not survived else 2


if __name__ == "__main__":
    sys.exit(main())
