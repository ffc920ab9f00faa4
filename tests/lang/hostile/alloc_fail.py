#!/usr/bin/env python3
"""Sweeps an injected allocation failure over representative programs.

usage: alloc_fail.py --vessrin PATH [--points N]

PATH must be a build with the VESSRIN_ALLOC_FAIL option: there the variable
VESSRIN_FAIL_ALLOC_AT=N makes the N-th allocation fail, and
VESSRIN_ALLOC_COUNT_REPORT=1 prints how many allocations a run made. Each
program is run once to count its allocations, then once for each chosen N. A
run must end the way the interpreter ends on exhausted memory: status 70 with
"out of memory" or "allocation failed" in its diagnostic (status 66 when the
source buffer itself could not be had), or, when the failing allocation had a
way around it, exactly as the run without a failure. Never a signal, a
sanitizer report or another status. In the REPL a failure inside a line is
reported and the session goes on, so there status 0 with the report is right.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

SANITIZER = re.compile(rb"AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|\S+:\d+:\d+: runtime error:")
COUNT = re.compile(rb"vessrin: allocations: (\d+)\n")

PROGRAMS = {
    "strings": b'''string s = "alpha beta gamma"
array<string> words = s.split(" ")
string joined = words.join("-")
println(joined.to_upper().replace("-", "+").repeat(3))
println(s.substring(2, 5))
println(to_string(12345) + to_string(1.5))
''',
    "arrays_and_closures": b'''array<int> xs = []
int i = 0
while (i < 40) {
    xs.push(i * 3 % 7)
    i += 1
}
auto scale = 5
auto ys = xs.map((int x) => x * scale).filter((int x) => x % 2 == 0)
println(ys.reduce(0, (int a, int b) => a + b))
xs.sort()
println(xs.slice(0, 5))
def counter() () => int {
    int n = 0
    return () => {
        n += 1
        return n
    }
}
auto c = counter()
c()
println(c())
''',
    "maps": b'''map<string, int> m = {"a": 1, "b": 2}
int i = 0
while (i < 30) {
    m[to_string(i)] = i
    i += 1
}
m.delete("a")
println(m.length)
println(m.keys().length)
int total = 0
for (k, v) in m {
    if (k == "7") {
        println(k)
    }
    total += 1
}
println(total)
''',
    "structs_and_results": b'''struct Point {
    int x
    int y
    def sum() int { return self.x + self.y }
}
auto p = Point { x: 1, y: 2 }
auto q = p
q.x = 10
println(p.sum() + q.sum())
Result<int> r = to_int("42")
match r {
    ok(v) => { println(v) }
    err(e) => { println(e) }
}
println(to_int("x"))
''',
    "compile_errors": b'''int x = "no"
def f( {
println(undefined_name)
auto y = [1, "two"]
''',
    "runtime_error": b'''def deep(int n) int { return deep(n + 1) }
println("before")
println(deep(0))
''',
}

# A REPL session runs the same way, fed on standard input.
REPL_SESSION = b'''int a = 1
a + 2
def twice(int n) int { return n * 2 }
twice(a)
auto m = {"k": 1}
m["k"]
[1, 2, 3].map((int x) => x + a)
"text".repeat(3)
undefined
'''


def run(vessrin, directory, stdin, fail_at=None, report=False):
    env = dict(os.environ)
    env.pop("VESSRIN_FAIL_ALLOC_AT", None)
    env.pop("VESSRIN_ALLOC_COUNT_REPORT", None)
    if fail_at is not None:
        env["VESSRIN_FAIL_ALLOC_AT"] = str(fail_at)
    if report:
        env["VESSRIN_ALLOC_COUNT_REPORT"] = "1"
    args = [vessrin] if stdin is not None else [vessrin, "main.vsr"]
    return subprocess.run(args, input=stdin or b"", cwd=directory, env=env, capture_output=True, timeout=60)


def points(total, wanted):
    """Every N when there are few; else the first ones, the last ones and an even spread."""
    if total <= wanted:
        return list(range(1, total + 1))
    edge = wanted // 4
    chosen = set(range(1, edge + 1)) | set(range(total - edge + 1, total + 1))
    step = max(1, (total - 2 * edge) // (wanted - 2 * edge))
    chosen |= set(range(edge + 1, total - edge + 1, step))
    return sorted(chosen)


def judge(proc, reference, repl):
    if proc.returncode < 0:
        return f"killed by signal {-proc.returncode}"
    if SANITIZER.search(proc.stderr):
        return "sanitizer report"
    err = proc.stderr
    reported = b"out of memory" in err or b"allocation failed" in err
    if proc.returncode == 70 and reported:
        return None
    # In the REPL an error inside a line ends only that line and the session ends
    # with 0; the driver's own "vessrin: out of memory" (the line store) ends it
    # with 70, handled above.
    if repl and proc.returncode == 0 and reported and b"vessrin: out of memory" not in err:
        return None
    if proc.returncode == 66 and b"out of memory reading" in err:
        return None
    if (proc.returncode, proc.stdout, proc.stderr) == reference:
        return None
    return f"status {proc.returncode} without an out-of-memory report"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vessrin", required=True)
    parser.add_argument("--points", type=int, default=100, help="most failure points per program")
    args = parser.parse_args()
    vessrin = os.path.abspath(args.vessrin)
    failures = 0
    runs = 0
    with tempfile.TemporaryDirectory(prefix="vessrin-allocfail-") as directory:
        cases = [(name, source, None) for name, source in PROGRAMS.items()] + [("repl", None, REPL_SESSION)]
        for name, source, stdin in cases:
            if source is not None:
                with open(os.path.join(directory, "main.vsr"), "wb") as f:
                    f.write(source)
            counted = run(vessrin, directory, stdin, report=True)
            found = COUNT.search(counted.stderr)
            if found is None:
                print(f"FAIL {name}: no allocation count (is this a VESSRIN_ALLOC_FAIL build?)")
                failures += 1
                continue
            total = int(found.group(1))
            reference = (counted.returncode, counted.stdout, COUNT.sub(b"", counted.stderr))
            bad = []
            for n in points(total, args.points):
                runs += 1
                problem = judge(run(vessrin, directory, stdin, fail_at=n), reference, stdin is not None)
                if problem:
                    bad.append((n, problem))
            if bad:
                failures += 1
                shown = ", ".join(f"N={n}: {p}" for n, p in bad[:8])
                print(f"FAIL {name}: {len(bad)} bad runs of {total} allocations: {shown}")
            else:
                print(f"ok   {name}: {total} allocations, {len(points(total, args.points))} failure points")
            sys.stdout.flush()
    print(f"{runs} runs with an injected failure, {failures} programs with problems")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
