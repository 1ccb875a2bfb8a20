#!/usr/bin/env python3
"""How many realistic faults the tests catch: the runner behind scripts/mutate.sh.

Reads the mutant list (scripts/mutants.txt by default; format at the top of that file), checks
that every mutant's original text occurs exactly once in its file, copies the tracked files into a
scratch tree, builds it once, then for each mutant: puts the fault in the scratch copy, rebuilds
incrementally, runs the tests that can reach it, restores the file. The real tree is only read.
Prints a markdown table and the kill rate over the mutants that are not equivalent.

Exit status: 0 when every mutant ran, 1 when the scratch tree does not build or its tests fail
without any mutant, 2 for a bad command line or a stale list (an original text not found
exactly once).
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
E2E_BINARY = "e2e_tests"


class Mutant:
    def __init__(self, ident, path, line):
        self.id, self.file, self.line = ident, path, line
        self.fault = ""
        self.tests = []          # test binaries (name_tests) or ctest name regexes
        self.e2e = False
        self.equivalent = ""
        self.original, self.replacement = [], []
        self.number = 0          # random mutants: the line replaced (its text may recur in the file)


def fail(message, status=2):
    print("mutate: " + message, file=sys.stderr)
    sys.exit(status)


def parse(list_path):
    """Blocks of the form
        == ID path/to/file.cpp
        fault: what an operator would see
        tests: settings_tests ^ChannelStore\\.     (optional; binaries or ctest regexes)
        e2e: yes                                   (optional)
        equivalent: why no test can tell           (optional)
        - original line(s)
        + replacement line(s)
    A line "-" or "+" alone stands for an empty line; no "+" line deletes the original text.
    Lines starting with '#' and blank lines between blocks are ignored."""
    mutants, current = [], None
    with open(list_path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            where = "%s:%d" % (os.path.relpath(list_path, ROOT), number)
            if line.startswith("=="):
                parts = line[2:].split()
                if len(parts) != 2:
                    fail(where + ": expected '== ID FILE'")
                current = Mutant(parts[0], parts[1], where)
                if any(m.id == current.id for m in mutants):
                    fail(where + ": mutant id %s used twice" % current.id)
                mutants.append(current)
            elif not line.strip() or line.startswith("#"):
                continue
            elif current is None:
                fail(where + ": text before the first '== ID FILE' line")
            elif line in ("-", "+") or line[:2] in ("- ", "+ "):
                (current.original if line[0] == "-" else current.replacement).append(line[2:])
            elif ":" in line:
                key, value = (s.strip() for s in line.split(":", 1))
                if key == "fault":
                    current.fault = value
                elif key == "tests":
                    current.tests = value.split()
                elif key == "e2e":
                    current.e2e = value.lower() in ("yes", "true", "1")
                elif key == "equivalent":
                    current.equivalent = value
                else:
                    fail(where + ": unknown field '%s'" % key)
            else:
                fail(where + ": cannot read this line")
    for m in mutants:
        if not m.original:
            fail("%s: mutant %s has no '- original' line" % (m.line, m.id))
        if not m.fault:
            fail("%s: mutant %s says no fault" % (m.line, m.id))
    return mutants


def check_snippets(mutants):
    """Every original text must occur exactly once in the real tree's file: else the list is stale."""
    stale = []
    for m in mutants:
        path = os.path.join(ROOT, m.file)
        try:
            text = open(path, encoding="utf-8").read()
        except OSError as e:
            stale.append("%s (%s): %s" % (m.id, m.line, e))
            continue
        count = text.count("\n".join(m.original))
        if count != 1:
            stale.append("%s (%s): original text found %d times in %s" % (m.id, m.line, count, m.file))
    if stale:
        fail("stale mutant list:\n  " + "\n  ".join(stale))


def apply(m, text):
    """The file's text with the mutant's fault put in."""
    if not m.number:
        return text.replace("\n".join(m.original), "\n".join(m.replacement), 1)
    lines = text.split("\n")
    if lines[m.number - 1] != m.original[0]:
        fail("%s: line %d of %s is not what was drawn" % (m.id, m.number, m.file), 1)
    lines[m.number - 1] = m.replacement[0]
    return "\n".join(lines)


def run(cmd, log, cwd=None, timeout=None):
    with open(log, "a") as out:
        out.write("\n$ " + " ".join(cmd) + "\n")
        out.flush()
        try:
            return subprocess.run(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                  timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            out.write("mutate: timed out after %s s\n" % timeout)
            return -1


def sync_tree(src):
    """Copies the files git knows of (committed or not, not ignored) into src. Files whose bytes
    are unchanged are not touched, so a kept scratch build stays incremental; times are never
    copied, since an older time put back on a file restored after a mutant would hide from ninja
    that its objects were built from the mutant."""
    files = subprocess.run(["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                           check=True, stdout=subprocess.PIPE).stdout
    names = set(filter(None, files.decode("utf-8", "surrogateescape").split("\0")))
    # A kept copy may hold files the tree has lost since (a renamed test): the build globs them.
    for top in ("platform", "settings", "ffmpeg", "engine", "web", "headless", "ui", "wizard", "app", "tests", "bench",
                "res"):
        for folder, _, found in os.walk(os.path.join(src, top)):
            for leaf in found:
                rel = os.path.relpath(os.path.join(folder, leaf), src)
                if rel not in names or not os.path.isfile(os.path.join(ROOT, rel)):
                    os.remove(os.path.join(folder, leaf))
    for name in sorted(names):
        source, copy = os.path.join(ROOT, name), os.path.join(src, name)
        if not os.path.isfile(source) or os.path.islink(source):
            continue  # a file deleted but not yet committed, or a link: not part of the build
        with open(source, "rb") as f:
            data = f.read()
        try:
            with open(copy, "rb") as f:
                if f.read() == data:
                    continue
        except OSError:
            os.makedirs(os.path.dirname(copy), exist_ok=True)
        with open(copy, "wb") as f:
            f.write(data)
        shutil.copymode(source, copy)


def discover(build, log):
    """ctest's test names, each with the binary that holds it."""
    out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, check=True).stdout
    tests = {}
    for t in json.loads(out).get("tests", []):
        command = t.get("command") or [""]
        tests[t["name"]] = os.path.basename(command[0])
    if not tests:
        fail("ctest lists no test in " + build, 1)
    return tests


def select(m, tests):
    """The test names a mutant is run against: all when it names none."""
    if not m.tests:
        return sorted(tests)
    chosen = set()
    for token in m.tests:
        if token.endswith("_tests"):
            chosen.update(n for n, b in tests.items() if b == token)
        else:
            chosen.update(n for n in tests if re.search(token, n))
    if m.e2e:
        chosen.update(n for n, b in tests.items() if b == E2E_BINARY)
    return sorted(chosen)


def ctest(build, names, args, log):
    """Runs the named tests; returns the names of those that failed (timeouts included)."""
    regex = "^(" + "|".join(re.escape(n) for n in names) + ")$"
    with open(log, "a") as out:
        out.write("\n$ ctest -R <%d tests>\n" % len(names))
        out.flush()
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        # A fault may turn a pid into -1, and kill(-1) reaches every process: the tests run in a
        # process namespace of their own where one can be made (root), so that only they end.
        fence = ["unshare", "--mount", "--pid", "--fork", "--mount-proc"] if os.geteuid() == 0 and shutil.which("unshare") else []
        proc = subprocess.run(fence + ["ctest", "-R", regex, "-j", str(args.jobs), "--timeout", str(args.timeout),
                               "--output-on-failure", "--stop-on-failure"], cwd=build, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env)
        text = proc.stdout.decode("utf-8", "replace")
        out.write(text)
    failed, listing = [], False
    for line in text.splitlines():
        if line.startswith("The following tests FAILED"):
            listing = True
        elif listing:
            found = re.match(r"\s*\d+ - (\S+)", line)
            if found:
                failed.append(found.group(1))
    if proc.returncode != 0 and not failed:
        failed.append("(ctest exit %d)" % proc.returncode)
    return failed


def main():
    parser = argparse.ArgumentParser(prog="scripts/mutate.sh", description=__doc__.split("\n\n")[0])
    parser.add_argument("--list-file", default=os.path.join(ROOT, "scripts", "mutants.txt"),
                        help="the mutant list (default scripts/mutants.txt)")
    parser.add_argument("--only", help="comma-separated mutant ids to run")
    parser.add_argument("--list", action="store_true", help="list the mutants and stop")
    parser.add_argument("--keep", action="store_true", help="keep the scratch tree (and reuse it next run)")
    parser.add_argument("--jobs", type=int, default=2, help="ctest -j (default 2)")
    parser.add_argument("--build-jobs", type=int, default=2, help="ninja -j (default 2)")
    parser.add_argument("--timeout", type=int, default=300,
                        help="per-test timeout in s for tests without their own (a hang counts as killed)")
    parser.add_argument("--scratch", default="/tmp/camrelay-mutate", help="scratch folder (default %(default)s)")
    parser.add_argument("--random", type=int, metavar="N",
                        help="instead of the list, N mutants drawn by fixed rules at random places of the "
                             "production code; one that survives its layer's tests runs the whole suite")
    parser.add_argument("--seed", type=int, default=1, help="the draw of --random (default 1)")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip running the selected tests once without any mutant")
    args = parser.parse_args()

    if args.random:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import mutate_random
        mutants = []
        for drawn in mutate_random.generate(ROOT, args.random, args.seed):
            m = Mutant(drawn["id"], drawn["file"], "%s:%d" % (drawn["file"], drawn["line"]))
            m.number, m.original, m.replacement = drawn["line"], [drawn["original"]], [drawn["replacement"]]
            shown = drawn["original"] if drawn["rule"] == "delete" else drawn["replacement"]
            m.fault = "%s:%d %s: `%s`" % (drawn["file"], drawn["line"], drawn["what"], shown.strip().replace("|", "\\|"))
            m.tests = drawn["tests"]
            mutants.append(m)
    else:
        mutants = parse(args.list_file)
        check_snippets(mutants)
    if args.only:
        wanted = args.only.split(",")
        unknown = [i for i in wanted if i not in {m.id for m in mutants}]
        if unknown:
            fail("no mutant " + ", ".join(unknown))
        mutants = [m for m in mutants if m.id in wanted]
    if args.list:
        print("| id | file | fault | tests |\n| --- | --- | --- | --- |")
        for m in mutants:
            reach = " ".join(m.tests) or "all"
            reach += " + e2e" if m.e2e else ""
            print("| %s | %s | %s | %s |" % (m.id, m.file, m.fault, "equivalent: " + m.equivalent if m.equivalent else reach))
        return 0

    src, build = os.path.join(args.scratch, "src"), os.path.join(args.scratch, "build")
    log = os.path.join(args.scratch, "mutate.log")
    os.makedirs(args.scratch, exist_ok=True)
    open(log, "w").close()
    print("mutate: scratch tree %s, log %s" % (args.scratch, log), flush=True)
    results, status = [], 0
    try:
        sync_tree(src)
        if not os.path.exists(os.path.join(build, "build.ninja")):
            if run(["cmake", "-S", src, "-B", build, "-G", "Ninja", "-DCAMRELAY_GUI=ON", "-DCAMRELAY_TESTS=ON",
                    "-DCAMRELAY_BENCH=OFF"], log) != 0:
                fail("cmake failed, see " + log, 1)
        print("mutate: building the scratch tree (ninja -j%d)" % args.build_jobs, flush=True)
        if run(["ninja", "-C", build, "-j", str(args.build_jobs)], log) != 0:
            fail("the scratch tree does not build without mutants, see " + log, 1)
        tests = discover(build, log)
        live = [m for m in mutants if not m.equivalent]
        if not args.no_baseline and live:
            union = sorted(set(n for m in live for n in select(m, tests)))
            print("mutate: baseline, %d tests without any mutant" % len(union), flush=True)
            failed = ctest(build, union, args, log)
            if failed:
                fail("tests fail without any mutant: %s (see %s)" % (", ".join(failed[:5]), log), 1)
        for m in mutants:
            if m.equivalent:
                results.append((m, "equivalent: " + m.equivalent, 0.0))
                continue
            path = os.path.join(src, m.file)
            original = open(path, encoding="utf-8").read()
            start = time.monotonic()
            try:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(apply(m, original))
                names = select(m, tests)
                # Only what the chosen tests run is rebuilt; ninja catches up on the rest later. A
                # test run by an interpreter (the web console's) is no target: then all is built.
                targets = sorted(set(tests[n] for n in names))
                if not all(t.endswith("_tests") for t in targets):
                    targets = []
                if run(["ninja", "-C", build, "-j", str(args.build_jobs)] + targets, log) != 0:
                    outcome = "does not build"
                elif not names:
                    outcome = "no test selected"
                else:
                    failed = ctest(build, names, args, log)
                    if not failed and m.number:
                        # A random fault its layer's tests miss may still be caught further out:
                        # every other test runs (those just passed would pass again), but for the
                        # test servers' self-check, which runs none of the program, and the package
                        # check, minutes of building and installing that look at how the program is
                        # installed rather than at what it does.
                        everything = sorted(set(tests) - set(names) - {"servers", "package"})
                        run(["ninja", "-C", build, "-j", str(args.build_jobs)], log)
                        failed = ctest(build, everything, args, log)
                    outcome = ("killed by " + ", ".join(failed[:3]) + (" (+%d)" % (len(failed) - 3) if len(failed) > 3 else "")
                               if failed else "SURVIVED")
            finally:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original)
            seconds = time.monotonic() - start
            results.append((m, outcome, seconds))
            print("mutate: %s %s (%.0f s)" % (m.id, outcome, seconds), flush=True)
    finally:
        if not args.keep:
            shutil.rmtree(args.scratch, ignore_errors=True)

    print("\n| mutant | file | fault | result | s |\n| --- | --- | --- | --- | ---: |")
    for m, outcome, seconds in results:
        print("| %s | %s | %s | %s | %.0f |" % (m.id, m.file, m.fault, outcome, seconds))
    counted = [o for m, o, s in results if o.startswith("killed") or o == "SURVIVED"]
    killed = sum(1 for o in counted if o.startswith("killed"))
    if counted:
        print("\nKilled %d of %d mutants that are not equivalent (%.0f%%)." % (killed, len(counted), 100.0 * killed / len(counted)))
    odd = [m.id for m, o, s in results if o in ("does not build", "no test selected")]
    if odd:
        print("Not counted (does not build or reaches no test): " + ", ".join(odd))
    return status


if __name__ == "__main__":
    sys.exit(main())
