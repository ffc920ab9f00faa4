#!/usr/bin/env python3
"""Runs every example of the language guide (docs/*.md) and compares its output.

usage: check_guide.py --vessrin PATH [PAGE.md ...]   (default: every docs/*.md)

A ```vessrin block is a program; the blocks right after it (only blank lines
between) describe its run: an optional ```stdin, then ```output (exact standard
output), then, for a failing example, ```stderr status=N. Without a stderr block
the run must exit 0 with nothing on standard error. ```vessrin file=NAME blocks
are modules written beside the next program. A ```repl block is a session piped
into `vessrin` with no arguments, followed by its ```output.
"""
import argparse
import difflib
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

FENCE = re.compile(r"^(`{3,})\s*(.*)$")
RUN_BLOCKS = ("stdin", "output", "stderr")


def blocks(text):
    """Fenced blocks as (line, info, body, adjacent): adjacent when only blank
    lines stand between this block and the one before it."""
    lines = text.split("\n")
    found, i, last_end = [], 0, None
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        fence, info, start = m.group(1), m.group(2).strip(), i
        j = i + 1
        while j < len(lines) and not (lines[j].startswith(fence) and lines[j].strip("`") == ""):
            j += 1
        body = "".join(line + "\n" for line in lines[i + 1:j])
        adjacent = last_end is not None and all(not l.strip() for l in lines[last_end + 1:start])
        found.append((start + 1, info, body, adjacent))
        last_end, i = j, j + 1
    return found


def examples(page):
    """Yields (line, files, stdin, is_repl, stdout, stderr, status) or (line, error)."""
    bs = blocks(page.read_text(encoding="utf-8"))
    files, i = {}, 0
    while i < len(bs):
        line, info, body, _ = bs[i]
        kind, _, arg = info.partition(" ")
        i += 1
        if kind == "vessrin" and arg.startswith("file="):
            files[arg[5:]] = body
            continue
        if kind not in ("vessrin", "repl"):
            if kind in RUN_BLOCKS:
                yield line, f"'{kind}' block without an example before it"
            continue
        run = {}
        while i < len(bs) and bs[i][3] and bs[i][1].partition(" ")[0] in RUN_BLOCKS:
            run[bs[i][1].partition(" ")[0]] = bs[i]
            i += 1
        if "output" not in run:
            yield line, f"'{kind}' block without an 'output' block after it"
            files = {}
            continue
        status, stderr = 0, ""
        if "stderr" in run:
            m = re.fullmatch(r"stderr status=(\d+)", run["stderr"][1])
            if not m:
                yield run["stderr"][0], "a stderr block needs 'status=N'"
                continue
            status, stderr = int(m.group(1)), run["stderr"][2]
        stdin = run["stdin"][2] if "stdin" in run else ""
        if kind == "repl":
            stdin = body
        else:
            files["main.vsr"] = body
        yield line, files, stdin, kind == "repl", run["output"][2], stderr, status
        files = {}


def run(vessrin, files, stdin, is_repl):
    env = {k: v for k, v in os.environ.items() if k not in ("VESSRIN_STD_PATH", "VESSRIN_HISTORY")}
    env["VESSRIN_HISTORY"] = ""  # a session must never touch the user's history file
    with tempfile.TemporaryDirectory(prefix="guide-") as tmp:
        for name, body in files.items():
            path = Path(tmp, name)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(body, encoding="utf-8")
        args = [vessrin] if is_repl else [vessrin, "main.vsr"]
        p = subprocess.run(args, cwd=tmp, env=env, input=stdin.encode(), capture_output=True, timeout=60)
    return p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace"), p.returncode


def diff(name, want, got):
    lines = difflib.unified_diff(want.splitlines(True), got.splitlines(True), f"expected {name}", f"actual {name}")
    return "".join(l if l.endswith("\n") else l + "\n" for l in lines)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--vessrin", required=True)
    ap.add_argument("pages", nargs="*")
    a = ap.parse_args()
    a.vessrin = os.path.abspath(a.vessrin)
    pages = [Path(p) for p in a.pages] or sorted(Path(__file__).resolve().parents[2].joinpath("docs").glob("*.md"))
    passed = failed = 0
    for page in pages:
        for ex in examples(page):
            if len(ex) == 2:
                print(f"{page}:{ex[0]}: {ex[1]}")
                failed += 1
                continue
            line, files, stdin, is_repl, want_out, want_err, want_status = ex
            try:
                out, err, status = run(a.vessrin, files, stdin, is_repl)
            except subprocess.TimeoutExpired:
                out, err, status = "", "(timed out)\n", None
            report = diff("stdout", want_out, out) + diff("stderr", want_err, err)
            if status != want_status:
                report += f"exit status {status}, expected {want_status}\n"
            if report:
                print(f"FAIL {page}:{line}\n{report}")
                failed += 1
            else:
                passed += 1
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
