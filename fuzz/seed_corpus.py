#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora from the language tests and the examples.

usage: seed_corpus.py REPO OUT_DIR

OUT_DIR/compile_run gets every source file of every case and every example,
OUT_DIR/repl every case's standard input (the REPL sessions) and every source,
OUT_DIR/modules every case with two or more files as "main, =====, other file",
with the main file's imports of the other file renamed to "lib".
OUT_DIR/lsp language-server sessions: each example opened, changed and asked
about, plus a few malformed messages.
"""
import hashlib
import json
import pathlib
import sys


def sections(text):
    """Yields (header words, body) for each '--- ' section of a case."""
    header, body = None, []
    for line in text.splitlines(keepends=True):
        if line.startswith("--- "):
            if header is not None:
                yield header, "".join(body)
            header, body = line[4:].split(), []
        elif header is not None:
            body.append(line)
    if header is not None:
        yield header, "".join(body)


def write(directory, data):
    directory.mkdir(parents=True, exist_ok=True)
    name = hashlib.sha1(data).hexdigest()
    (directory / name).write_bytes(data)


def main():
    repo, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    counts = {"compile_run": 0, "repl": 0, "modules": 0}
    for case in sorted((repo / "tests" / "lang").rglob("*.test")):
        files = []
        for header, body in sections(case.read_text(encoding="utf-8", errors="surrogateescape")):
            data = body.encode("utf-8", errors="surrogateescape")
            if header and header[0] == "file" and len(header) > 1:
                files.append((header[1], data))
                write(out / "compile_run", data)
                write(out / "repl", data)
                counts["compile_run"] += 1
            elif header and header[0] == "stdin" and data:
                write(out / "repl", data)
                counts["repl"] += 1
        # The harness names the module lib.vsr: imports of the case's own name
        # for it are rewritten to match.
        for name, other in files[1:]:
            main = files[0][1]
            stem = name[:-4] if name.endswith(".vsr") else name
            for spelled in {name, stem}:
                main = main.replace(b'"' + spelled.encode() + b'"', b'"lib"')
            write(out / "modules", main + b"\n=====\n" + other)
            counts["modules"] += 1
    for example in sorted((repo / "examples").rglob("*.vsr")):
        data = example.read_bytes()
        write(out / "compile_run", data)
        write(out / "repl", data)
        counts["compile_run"] += 1
    # A few module shapes so the module target starts from real imports even
    # before the language tests hold any.
    for main, lib in [
        (b'import "lib" as m\nprintln(m.f(2))\n', b"export def f(int x) int { return x * 2 }\n"),
        (b'from "lib" import f, S\nprintln(f(1))\n', b"export def f(int x) int { return x }\nexport struct S { int a }\n"),
        (b'import "lib"\nprintln(lib.g())\n', b'import "inner"\nexport def g() string { return "g" }\n'),
        (b'import "lib" as m\n', b'import "lib"\n'),
    ]:
        write(out / "modules", main + b"\n=====\n" + lib)
        counts["modules"] += 1
    counts["lsp"] = write_lsp_seeds(repo, out / "lsp")
    print(" ".join(f"{k}={v}" for k, v in counts.items()))


def frame(message):
    body = message if isinstance(message, bytes) else json.dumps(message).encode()
    return b"Content-Length: %d\r\n\r\n" % len(body) + body


def write_lsp_seeds(repo, directory):
    uri = "file:///tmp/vessrin-fuzz-lsp/main.vsr"
    doc = {"textDocument": {"uri": uri}}
    count = 0
    for example in sorted((repo / "examples").rglob("*.vsr")):
        text = example.read_text(encoding="utf-8", errors="replace")
        session = [
            {"jsonrpc": "2.0", "method": "textDocument/didOpen",
             "params": {"textDocument": {"uri": uri, "languageId": "vessrin", "version": 1, "text": text}}},
            {"jsonrpc": "2.0", "id": 1, "method": "textDocument/documentSymbol", "params": doc},
            {"jsonrpc": "2.0", "id": 2, "method": "textDocument/hover",
             "params": {**doc, "position": {"line": 2, "character": 6}}},
            {"jsonrpc": "2.0", "id": 3, "method": "textDocument/definition",
             "params": {**doc, "position": {"line": 3, "character": 10}}},
            {"jsonrpc": "2.0", "method": "textDocument/didChange",
             "params": {"textDocument": {"uri": uri, "version": 2}, "contentChanges": [{"text": text + "x.\n"}]}},
            {"jsonrpc": "2.0", "id": 4, "method": "textDocument/completion",
             "params": {**doc, "position": {"line": text.count("\n"), "character": 2}}},
            {"jsonrpc": "2.0", "id": 5, "method": "shutdown"},
            {"jsonrpc": "2.0", "method": "exit"},
        ]
        write(directory, b"".join(frame(m) for m in session))
        count += 1
    for raw in [b"{", b"[]", b'{"jsonrpc":"2.0","id":{},"method":1}',
                b'{"jsonrpc":"2.0","id":9,"method":"textDocument/hover","params":{"position":{"line":-1}}}']:
        write(directory, frame(raw))
        count += 1
    write(directory, b"Content-Length: 99999999999999999999999\r\n\r\n{}")
    return count + 1


if __name__ == "__main__":
    main()
