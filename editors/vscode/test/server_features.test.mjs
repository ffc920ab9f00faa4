// The server on a two-module program: diagnostics equal to `vessrin check`'s
// (positions in UTF-16), cleared by a fix; hover, definition across the import,
// document symbols and completion after "."; an open module read unsaved.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, writeFileSync, readFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { startServer, uriOf, checkErrors } from './server_client.mjs';

// Run through CTest (lsp_server), which names the built server.
const SKIP = process.env.VESSRIN_LSP ? false : 'VESSRIN_LSP does not name a built vessrin-lsp';

const UTIL = `export struct Point {
    int x
    int y
    def sum() int {
        return self.x + self.y
    }
}

export def greet(string name) string {
    return "hi " + name
}
`;

const BROKEN = `import "util"
from "util" import greet as hello

util.Point p = util.Point { x: 1, y: 2 }
Result<int> r = ok(3)
string smile = "\u{1F600}" + missing
int v = r.value
def twice(int n) int {
    return n * 2 + p.sum()
}
string s = hello(util.greet("x"))
`;

const FIXED = BROKEN.replace(' + missing', '').replace('int v = r.value', 'int v = 0');

function at(text, line, needle, after = 0) {
  const lineText = text.split('\n')[line];
  return { line, character: lineText.indexOf(needle) + after };
}

test('a two-module program in the editor', { skip: SKIP }, async () => {
  const dir = mkdtempSync(join(tmpdir(), 'vessrin-lsp-'));
  const main = join(dir, 'main.vsr');
  writeFileSync(join(dir, 'util.vsr'), UTIL);
  writeFileSync(main, BROKEN);
  const uri = uriOf(main);
  const server = await startServer();
  assert.equal(server.init.capabilities.positionEncoding, 'utf-16');
  const doc = { textDocument: { uri } };

  server.connection.sendNotification('textDocument/didOpen', {
    textDocument: { uri, languageId: 'vessrin', version: 1, text: BROKEN },
  });
  const published = await server.diagnostics(uri);
  const expected = checkErrors(main, dir);
  assert.equal(expected.status, 65);
  assert.equal(expected.errors.length, 2);
  assert.ok(expected.errors[1].help);
  assert.equal(published.diagnostics.length, expected.errors.length);
  const lines = BROKEN.split('\n');
  expected.errors.forEach((e, i) => {
    const d = published.diagnostics[i];
    const before = Buffer.from(lines[e.line - 1]).subarray(0, e.column - 1).toString();
    assert.equal(d.message, e.message);
    assert.deepEqual(d.range.start, { line: e.line - 1, character: before.length });
    assert.equal(d.relatedInformation?.[0].message, e.help === null ? undefined : `help: ${e.help}`);
  });
  // The emoji before `missing` is two UTF-16 units but four bytes.
  assert.equal(published.diagnostics[0].range.start.character, 'string smile = "\u{1F600}" + '.length);

  server.connection.sendNotification('textDocument/didChange', {
    textDocument: { uri, version: 2 },
    contentChanges: [{ text: FIXED }],
  });
  assert.deepEqual((await server.diagnostics(uri)).diagnostics, []);
  assert.equal(checkErrors(main, dir).status, 65, 'the file on disk still holds the errors');

  const hover = async (position) =>
    (await server.connection.sendRequest('textDocument/hover', { ...doc, position }))?.contents.value;
  assert.match(await hover(at(FIXED, 8, 'n *')), /int n\n```\nparameter/);
  assert.match(await hover(at(FIXED, 10, 'hello')), /def greet\(string name\) string/);
  assert.match(await hover(at(FIXED, 8, 'p.sum', 3)), /def sum\(\) int\n```\nmethod of `Point`/);
  assert.match(await hover(at(FIXED, 3, 'Point')), /struct Point \{\n    int x\n    int y\n    def sum\(\) int\n\}/);

  const definition = (position) => server.connection.sendRequest('textDocument/definition', { ...doc, position });
  const utilUri = uriOf(join(dir, 'util.vsr'));
  assert.deepEqual(await definition(at(FIXED, 8, 'p.sum')), {
    uri,
    range: { start: { line: 3, character: 11 }, end: { line: 3, character: 12 } },
  });
  assert.deepEqual((await definition(at(FIXED, 10, 'greet'))).range.start, { line: 8, character: 11 });
  assert.equal((await definition(at(FIXED, 10, 'greet'))).uri, utilUri);
  assert.deepEqual((await definition(at(FIXED, 10, 'hello'))).range.start, { line: 8, character: 11 });
  assert.deepEqual(await definition(at(FIXED, 0, 'util')), {
    uri: utilUri,
    range: { start: { line: 0, character: 0 }, end: { line: 0, character: 0 } },
  });
  assert.deepEqual((await definition(at(FIXED, 8, 'sum'))).range.start, { line: 3, character: 8 });

  const symbols = await server.connection.sendRequest('textDocument/documentSymbol', doc);
  assert.deepEqual(symbols.map((s) => `${s.name}: ${s.detail}`), [
    'twice: (int) => int', 'p: Point', 'r: Result<int>', 'smile: string', 'v: int', 's: string',
  ]);

  const completion = async (text, position) => {
    server.connection.sendNotification('textDocument/didChange', {
      textDocument: { uri, version: 3 }, contentChanges: [{ text }],
    });
    await server.diagnostics(uri);
    const list = await server.connection.sendRequest('textDocument/completion', { ...doc, position });
    return list.items.map((i) => i.label);
  };
  const typing = (tail) => `${FIXED}${tail}`;
  const last = FIXED.split('\n').length - 1;
  assert.deepEqual(await completion(typing('p.'), { line: last, character: 2 }), ['x', 'y', 'sum']);
  assert.ok((await completion(typing('smile.sp'), { line: last, character: 8 })).includes('split'));
  assert.deepEqual(await completion(typing('util.'), { line: last, character: 5 }), ['Point', 'greet']);
  const math = await completion(typing('import "std/math"\nmath.'), { line: last + 1, character: 5 });
  assert.ok(math.includes('sqrt') && math.includes('pi'), 'a built-in module');
  const top = await completion(typing('tw'), { line: last, character: 2 });
  for (const name of ['twice', 'util', 'hello', 'p', 'println', 'while']) assert.ok(top.includes(name), name);
  assert.ok(!top.includes('n'), 'a parameter is not visible at the top level');

  // An open module is read from its unsaved text.
  const utilDoc = { uri: utilUri, languageId: 'vessrin', version: 1, text: `${UTIL}export def extra() int {\n    return 1\n}\n` };
  server.connection.sendNotification('textDocument/didOpen', { textDocument: utilDoc });
  assert.deepEqual((await server.diagnostics(utilUri)).diagnostics, []);
  server.connection.sendNotification('textDocument/didChange', {
    textDocument: { uri, version: 4 }, contentChanges: [{ text: `${FIXED}int e = util.extra()\n` }],
  });
  assert.deepEqual((await server.diagnostics(uri)).diagnostics, []);
  assert.equal(readFileSync(join(dir, 'util.vsr'), 'utf8'), UTIL);
  const inMethod = await server.connection.sendRequest('textDocument/completion', {
    textDocument: { uri: utilUri }, position: at(UTIL, 4, 'self.', 5),
  });
  assert.deepEqual(inMethod.items.map((i) => i.label), ['x', 'y', 'sum']);

  assert.equal(await server.stop(), 0);
});
