#!/usr/bin/env python3
"""Hostile inputs for the interpreter, generated at test time.

usage: hostile.py --vessrin PATH [--light] [--stress] [--only NAME] [--list]

Each case writes a program (or a REPL session) into a fresh temporary directory,
runs the interpreter on it and checks that the run ended the way a robust
interpreter ends: one of its own exit statuses, a diagnostic on standard error
when the status is not 0, the expected output where there is one, no signal, no
sanitizer report, and within the time limit. The inputs are far too large to
keep in the repository, hence the generator.

--light skips the cases marked heavy (millions of map operations, sources of
tens of megabytes): under the sanitizers they take minutes each. --stress also
skips the cases whose loops allocate on every turn: with a collection at every
allocation they would run for hours.
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

STATUSES = {0, 64, 65, 66, 70}
# Sanitizer reports; UBSan's begins with the source location, unlike the
# interpreter's own "runtime error: ..." which starts the line.
SANITIZER = re.compile(rb"AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|\S+:\d+:\d+: runtime error:")
MB = 1 << 20


class Case:
    def __init__(self, name, source=None, stdin=None, statuses=(0,), stdout=None, stderr_has=None, heavy=False,
                 timeout=120, allocating=False, stdout_to=None, command=None):
        self.name = name
        self.source = source      # bytes, or a callable returning bytes
        self.stdin = stdin        # bytes for a REPL session (no file argument)
        self.statuses = set(statuses)
        self.stdout = stdout      # exact expected output, or None for "any"
        self.stderr_has = stderr_has
        self.heavy = heavy
        self.timeout = timeout
        self.allocating = allocating
        self.stdout_to = stdout_to  # a file standard output is written to instead of a pipe
        self.command = command      # "check" or "run" before the file name, or none


def loop(count, body, var="i"):
    """A counted while loop around body lines (indented by the caller's text)."""
    return (f"int {var} = 0\nwhile ({var} < {count}) {{\n{body}\n    {var} += 1\n}}\n")


def cases():
    out = []
    add = out.append

    # Size: long sources, long lines, long literals.
    add(Case("blank_lines_30mb", lambda: b"\n" * (30 * MB) + b'println("end")\n', stdout=b"end\n", heavy=True))
    add(Case("spaces_line_10mb", lambda: b" " * (10 * MB) + b'println("end")\n', stdout=b"end\n"))
    add(Case("error_after_30mb", lambda: b"   \n" * (8 * MB) + b"int x = \"no\"\n", statuses=(65,),
             stderr_has=b"8388609", heavy=True))
    add(Case("expression_line_10mb", lambda: b"int x = " + b"1 + " * (10 * MB // 4) + b"1\n", statuses=(65,)))
    add(Case("string_literal_30mb", lambda: b'string s = "' + b"a" * (30 * MB) + b'"\nprintln(s.length)\n',
             stdout=b"%d\n" % (30 * MB)))
    add(Case("identifier_10mb", lambda: b"int " + b"x" * (10 * MB) + b" = 1\nprintln(1)\n", statuses=(0, 65)))
    add(Case("number_literal_1mb", lambda: b"println(" + b"9" * MB + b")\n", statuses=(65,)))
    add(Case("float_literal_1mb", lambda: b"println(1." + b"5" * MB + b")\n", stdout=b"1.55556\n",
             statuses=(0,)))
    # One error per line for 200000 lines: finding each error's line must not
    # start from the top of the file every time.
    add(Case("jump_over_huge_block", lambda: b"int x = 0\nif (false) {\n" + b"    x = x + 1\n" * 200000 + b"}\n",
             statuses=(65,), timeout=30))
    add(Case("unterminated_string_10mb", lambda: b'println("' + b"b" * (10 * MB) + b"\n", statuses=(65,)))

    # Bytes that are not text.
    add(Case("nul_in_statement", b"println(1)\nprint\x00ln(2)\n", statuses=(0, 65)))
    add(Case("nul_in_string", b'println("a\x00b")\n', statuses=(0, 65)))
    add(Case("nul_first", b"\x00println(1)\n", statuses=(0, 65)))
    add(Case("invalid_utf8_identifier", b"int \xff\xfe = 1\nprintln(1)\n", statuses=(65,)))
    add(Case("invalid_utf8_string", b'println("\xc3\x28 \xa0\xa1 \xf0\x28\x8c\xbc \xc0\xaf")\n',
             stdout=b"\xc3\x28 \xa0\xa1 \xf0\x28\x8c\xbc \xc0\xaf\n"))
    add(Case("invalid_utf8_in_error_line", b'int x = "\xff\xfe\xfd" + 1\n', statuses=(65,)))
    add(Case("all_bytes", bytes(range(1, 256)) * 64, statuses=(65,)))
    add(Case("truncated_utf8_at_end", b'println("x")\n\xe2\x80', statuses=(65,)))

    # Many errors in one file, and many in one line.
    add(Case("errors_10000_lines", b'int x = "s"\n' * 10000, statuses=(65,), allocating=True))
    add(Case("errors_varied", (b"auto = \nprintln(\ndef (\n}\nx +\n\"\n1 2 3\nstruct {\n" * 2000), statuses=(65,)))
    add(Case("scanner_errors_one_line", b"@ " * 100000 + b"\n", statuses=(65,)))

    # Deep nesting of every kind.
    depth = 100000
    nest = [
        ("parens", b"println(" + b"(" * depth + b"1" + b")" * depth + b")\n"),
        ("blocks", b"{" * depth + b"}" * depth + b"\n"),
        ("blocks_lines", b"{\n" * depth + b"}\n" * depth),
        ("ifs", b"if (true) {\n" * depth + b"}\n" * depth),
        ("whiles", b"while (false) {\n" * depth + b"}\n" * depth),
        ("unary_minus", b"println(" + b"-" * depth + b"1)\n"),
        ("unary_not", b"println(" + b"!" * depth + b"true)\n"),
        ("power_chain", b"println(" + b"2 ** " * depth + b"1)\n"),
        ("array_literals", b"auto a = " + b"[" * depth + b"1" + b"]" * depth + b"\n"),
        ("map_literals", b"auto m = " + b"{1: " * depth + b"1" + b"}" * depth + b"\n"),
        ("lambdas", b"auto f = " + b"() => " * depth + b"1\n"),
        ("block_lambdas", b"auto f = " + b"() => { return " * depth + b"1" + b" }" * depth + b"\n"),
        ("calls", b"def f(int x) int { return x }\nprintln(" + b"f(" * depth + b"1" + b")" * depth + b")\n"),
        ("array_types", b"array<" * depth + b"int" + b">" * depth + b" a = []\n"),
        ("function_types", b"(" * depth + b") => int" * depth + b" f = () => 1\n"),
        ("nullable_marks", b"int" + b"?" * depth + b" x = null\n"),
        ("result_types", b"Result<" * depth + b"int" + b">" * depth + b" r = ok(1)\n"),
        ("ok_calls", b"auto r = " + b"ok(" * depth + b"1" + b")" * depth + b"\n"),
        ("index_chain", b"auto a = [1]\nprintln(a" + b"[0]" * depth + b")\n"),
        ("member_chain", b'println("a"' + b".length" * depth + b")\n"),
        ("method_chain", b'println("a"' + b".trim()" * 2000 + b")\n"),
        ("match_in_match", b"auto r = ok(1)\n" + b"match r {\nok(v) => {\n" * 2000 + b"}\nerr(e) => {}\n}\n" * 2000),
        ("else_if_chain", b"int x = 1\nif (x == 0) {\n" + b"} else if (x == 2) {\n" * depth + b"}\n"),
        ("struct_literals", b"struct S { int a }\nauto s = " + b"S { a: " * depth + b"1" + b" }" * depth + b"\n"),
        ("def_in_def", b"def f() {\n" * 20000 + b"}\n" * 20000),
    ]
    for name, source in nest:
        add(Case("nest_" + name, source, statuses=(0, 65, 70)))
    add(Case("nest_parens_within_limit", b"println(" + b"(" * 150 + b"7" + b")" * 150 + b")\n", stdout=b"7\n"))
    add(Case("nest_concat_long", b'string s = ""\ns = s' + b' + "ab"' * 100000 + b"\nprintln(s.length)\n",
             statuses=(0, 65), allocating=True))

    # Recursion without end.
    add(Case("recursion_function", b"def f(int n) int { return f(n + 1) }\nprintln(f(0))\n", statuses=(70,),
             stderr_has=b"Stack overflow."))
    add(Case("recursion_mutual", b"def a(int n) int { return b(n) }\ndef b(int n) int { return a(n + 1) }\n"
             b"println(a(0))\n", statuses=(70,), stderr_has=b"Stack overflow."))
    add(Case("recursion_lambda", b"def f(int n) int {\n    auto g = (int k) => f(k + 1)\n    return g(n)\n}\n"
             b"println(f(0))\n", statuses=(70,), stderr_has=b"Stack overflow."))
    add(Case("recursion_through_map", b"def f(int n) int {\n    return [n].map((int k) => f(k + 1))[0]\n}\n"
             b"println(f(0))\n", statuses=(70,), stderr_has=b"Stack overflow."))
    add(Case("recursion_through_sort", b"def f(int n) int {\n    auto a = [2, 1].sort((int x, int y) => f(x) - y)\n"
             b"    return a[0]\n}\nprintln(f(0))\n", statuses=(65, 70)))
    add(Case("recursion_many_args", b"def f(int a, int b, int c, int d, int e, int g, int h, int i) int {\n"
             b"    return f(a, b, c, d, e, g, h, i + 1)\n}\nprintln(f(1, 2, 3, 4, 5, 6, 7, 8))\n", statuses=(70,),
             stderr_has=b"Stack overflow."))

    # A chain of a million closures, each calling the one before; calling the
    # last must end in a stack overflow, not in a crash of the marker or caller.
    chain = (b"auto f = (int x) => x\n" + loop(1000000, "    auto g = f\n    f = (int x) => g(x) + 1").encode()
             + b'println("built")\nprintln(f(0))\n')
    add(Case("closure_chain_million", chain, statuses=(70,), stdout=b"built\n", stderr_has=b"Stack overflow.",
             heavy=True))
    chain_small = (b"auto f = (int x) => x\n" + loop(200, "    auto g = f\n    f = (int x) => g(x) + 1").encode()
                   + b"println(f(0))\n")
    add(Case("closure_chain_callable", chain_small, stdout=b"200\n"))

    # Library operations at their limits.
    add(Case("repeat_too_large", b'println("ab".repeat(1100000000).length)\n', statuses=(70,)))
    add(Case("repeat_max_count", b'println("".repeat(281474976710655).length)\n', stdout=b"0\n"))
    add(Case("repeat_negative", b'println("a".repeat(-1))\n', statuses=(70,)))
    add(Case("repeat_100mb", b'println("x".repeat(100000000).length)\n', stdout=b"100000000\n", heavy=True))
    add(Case("replace_growth_too_large", b'string s = "a".repeat(100000)\n'
             b'println(s.replace("a", "b".repeat(30000)).length)\n', statuses=(70,)))
    add(Case("replace_empty_pattern", b'println("abc".replace("", "xyz"))\n', statuses=(0, 70)))
    add(Case("replace_many", b'string s = "ab".repeat(5000000)\nprintln(s.replace("a", "").length)\n',
             stdout=b"5000000\n"))
    add(Case("join_too_large", b'string big = "c".repeat(3000000)\narray<string> parts = []\n'
             + loop(1000, "    parts.push(big)").encode() + b'println(parts.join("").length)\n', statuses=(70,)))
    add(Case("join_separator_too_large", b'string sep = "s".repeat(3000000)\narray<string> parts = []\n'
             + loop(1000, '    parts.push("")').encode() + b"println(parts.join(sep).length)\n", statuses=(70,)))
    add(Case("join_many", b"array<string> parts = []\n" + loop(1000000, '    parts.push("ab")').encode()
             + b'println(parts.join(",").length)\n', stdout=b"2999999\n", heavy=True))
    add(Case("split_many", b'string s = ",".repeat(2000000)\nprintln(s.split(",").length)\n', stdout=b"2000001\n",
             heavy=True))
    add(Case("concat_doubling", b'string s = "x"\n' + loop(40, "    s = s + s").encode() + b"println(s.length)\n",
             statuses=(70,), heavy=True))

    # Big maps and churn.
    add(Case("map_two_million_keys", b"map<int, int> m = {}\n" + loop(2000000, "    m[i] = i").encode()
             + b"println(m.length)\nprintln(m[1999999])\n", stdout=b"2000000\n1999999\n", heavy=True))
    # Deleting old keys and inserting new ones. Growth counts live entries only
    # (slot order, which iteration shows, depends on it), so churn fills the
    # free slots with tombstones: probes must still end, and the results stay
    # right. The sizes keep the run short; a table that is all tombstones makes
    # every probe for a new key walk all of its slots.
    add(Case("map_churn", b"map<int, int> m = {}\n" + loop(15000, "    m[i] = i").encode()
             + loop(200000, "    m.delete(j)\n    m[j + 15000] = j", var="j").encode()
             + b"println(m.length)\nprintln(m[214999])\n", stdout=b"15000\n199999\n", heavy=True, timeout=60))
    add(Case("map_churn_all_tombstones", b"map<int, int> m = {}\n" + loop(6, "    m[i] = i").encode()
             + loop(1000000, "    m.delete(j)\n    m[j + 6] = j", var="j").encode()
             + b"println(m.length)\nprintln(m[1000005])\nprintln(m[3])\n", stdout=b"6\n999999\nnull\n", heavy=True))
    add(Case("map_churn_small", b"map<int, int> m = {}\n"
             + loop(300000, "    m[j] = j\n    m.delete(j)", var="j").encode()
             + b"println(m.length)\n", stdout=b"0\n"))
    add(Case("map_string_keys", b"map<string, int> m = {}\n" + loop(300000, "    m[to_string(i)] = i").encode()
             + b'println(m.length)\nprintln(m["299999"])\n', stdout=b"300000\n299999\n", allocating=True))
    add(Case("map_clear_refill", b"map<int, bool> m = {}\n"
             + loop(50, loop(10000, "        m[j] = true", var="j").replace("\n", "\n    ")[:-4]
                    + "    m.clear()").encode()
             + b"println(m.length)\n", stdout=b"0\n"))

    # The REPL with hostile lines.
    add(Case("repl_long_line", stdin=b"println(" + b"1 + " * 5000 + b"1)\n", statuses=(0,)))
    add(Case("repl_many_errors", stdin=b'int x = "s"\n' * 5000, statuses=(0,), allocating=True))
    add(Case("repl_nul_and_bytes", stdin=b"\x00\xff\n1 + 1\n\xc3\x28\n", statuses=(0,)))
    add(Case("repl_deep_nesting", stdin=b"(" * 4000 + b"\n", statuses=(0,)))
    add(Case("repl_many_definitions", stdin=b"".join(b"int v%d = %d\n" % (i, i) for i in range(300)), statuses=(0,)))
    add(Case("repl_recursion", stdin=b"def f(int n) int { return f(n + 1) }\nf(0)\n1 + 1\n", statuses=(0,),
             stderr_has=b"Stack overflow."))

    # Printing that is lost must not pass for success.
    lost = b"vessrin: cannot write to standard output"
    add(Case("stdout_full", b'println("lost")\n', stdout_to="/dev/full", statuses=(70,), stderr_has=lost))
    add(Case("stdout_full_much", loop(100000, '    println("line")').encode(), stdout_to="/dev/full",
             statuses=(70,), stderr_has=lost))
    add(Case("stdout_full_repl", stdin=b"1 + 1\n", stdout_to="/dev/full", statuses=(70,), stderr_has=lost))
    add(Case("stdout_full_after_error", b"println(1 / 0)\n", stdout_to="/dev/full", statuses=(70,),
             stderr_has=b"division by zero"))
    add(Case("stdout_full_check", b'println("not run")\n', stdout_to="/dev/full", command="check"))
    return out


def run_case(vessrin, case, directory):
    args = [vessrin]
    stdin = case.stdin
    if case.source is not None:
        source = case.source() if callable(case.source) else case.source
        path = os.path.join(directory, "main.vsr")
        with open(path, "wb") as f:
            f.write(source)
        args += [case.command, "main.vsr"] if case.command else ["main.vsr"]
    stdout = subprocess.PIPE
    if case.stdout_to is not None:
        stdout = open(case.stdout_to, "wb")
    started = time.monotonic()
    try:
        proc = subprocess.run(args, input=stdin if stdin is not None else b"", cwd=directory, stdout=stdout,
                              stderr=subprocess.PIPE, timeout=case.timeout)
    except subprocess.TimeoutExpired:
        return f"no end within {case.timeout} s", 0.0
    finally:
        if case.stdout_to is not None:
            stdout.close()
    elapsed = time.monotonic() - started
    problems = []
    status = proc.returncode
    if status < 0:
        problems.append(f"killed by signal {signal.Signals(-status).name}")
    elif status not in STATUSES:
        problems.append(f"exit status {status} is not one of the interpreter's")
    elif status not in case.statuses:
        problems.append(f"exit status {status}, expected one of {sorted(case.statuses)}")
    if SANITIZER.search(proc.stderr):
        problems.append("sanitizer report")
    if status != 0 and status > 0 and not proc.stderr.strip():
        problems.append("non-zero status without a diagnostic")
    if case.stdout is not None and proc.stdout != case.stdout:
        problems.append(f"stdout {proc.stdout[:200]!r}, expected {case.stdout[:200]!r}")
    if case.stderr_has is not None and case.stderr_has not in proc.stderr:
        problems.append(f"stderr lacks {case.stderr_has!r}")
    if problems:
        tail = proc.stderr[-600:].decode("utf-8", "replace")
        return "; ".join(problems) + "\n    stderr tail: " + tail.replace("\n", "\n    "), elapsed
    return None, elapsed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vessrin", required=True)
    parser.add_argument("--light", action="store_true")
    parser.add_argument("--stress", action="store_true")
    parser.add_argument("--only", action="append", default=[])
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    vessrin = os.path.abspath(args.vessrin)
    selected = [c for c in cases() if (not args.only or c.name in args.only) and not (args.light and c.heavy)
                and not (args.stress and c.allocating)]
    if args.list:
        for c in selected:
            print(c.name + (" (heavy)" if c.heavy else ""))
        return 0
    failures = 0
    total_started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="vessrin-hostile-") as root:
        for case in selected:
            directory = os.path.join(root, case.name)
            os.mkdir(directory)
            problem, elapsed = run_case(vessrin, case, directory)
            if problem:
                failures += 1
                print(f"FAIL {case.name}: {problem}")
            else:
                print(f"ok   {case.name} ({elapsed:.1f} s)")
            sys.stdout.flush()
    total = time.monotonic() - total_started
    print(f"{len(selected) - failures} of {len(selected)} hostile cases passed in {total:.0f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
