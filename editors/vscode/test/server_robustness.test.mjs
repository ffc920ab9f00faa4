// The server under malformed input: bad frames, bad JSON, unknown methods,
// unopened documents, positions outside the text and wrong field types are
// answered with errors (or, as notifications, dropped) and the server keeps
// serving; compilations that fail deep inside leave nothing for the next one.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';

// Run through CTest (lsp_server), which names the built server.
const SKIP = process.env.VESSRIN_LSP ? false : 'VESSRIN_LSP does not name a built vessrin-lsp';

// A raw session, so that bytes no client library would send can be sent.
function rawSession() {
  const proc = spawn(process.env.VESSRIN_LSP, [], { stdio: ['pipe', 'pipe', 'inherit'] });
  let buffer = Buffer.alloc(0);
  const messages = [];
  let wake = null;
  proc.stdout.on('data', (chunk) => {
    buffer = Buffer.concat([buffer, chunk]);
    for (;;) {
      const end = buffer.indexOf('\r\n\r\n');
      if (end < 0) break;
      const length = Number(/Content-Length: (\d+)/.exec(buffer.subarray(0, end).toString())[1]);
      if (buffer.length < end + 4 + length) break;
      messages.push(JSON.parse(buffer.subarray(end + 4, end + 4 + length).toString()));
      buffer = buffer.subarray(end + 4 + length);
    }
    if (wake) wake();
  });
  const exited = new Promise((resolve) => proc.on('exit', (code) => resolve(code)));
  return {
    exited,
    bytes(text) { proc.stdin.write(text); },
    send(body) {
      const data = Buffer.from(typeof body === 'string' ? body : JSON.stringify(body));
      proc.stdin.write(Buffer.concat([Buffer.from(`Content-Length: ${data.length}\r\n\r\n`), data]));
    },
    // The next message the server sends.
    async next() {
      const deadline = Date.now() + 20000;
      while (messages.length === 0) {
        assert.ok(Date.now() < deadline, 'the server stopped answering');
        await new Promise((resolve) => { wake = resolve; setTimeout(resolve, 1000); });
      }
      return messages.shift();
    },
  };
}

const URI = 'file:///nonexistent/vessrin-lsp-test/main.vsr';
const request = (id, method, params) => ({ jsonrpc: '2.0', id, method, params });
const notify = (method, params) => ({ jsonrpc: '2.0', method, params });
const position = (line, character) => ({ textDocument: { uri: URI }, position: { line, character } });

test('malformed and out-of-range requests get errors and the server keeps serving', { skip: SKIP }, async () => {
  const s = rawSession();
  const errorOf = async (id) => {
    const m = await s.next();
    assert.equal(m.id, id, JSON.stringify(m));
    return m.error?.code;
  };

  s.send(request(1, 'textDocument/hover', position(0, 0)));
  assert.equal(await errorOf(1), -32002, 'not initialized');
  s.send(request(2, 'initialize', { capabilities: { general: { positionEncodings: ['utf-8', 'utf-16'] } } }));
  assert.equal((await s.next()).result.capabilities.positionEncoding, 'utf-8');
  s.send(request(3, 'initialize', {}));
  assert.equal(await errorOf(3), -32600, 'initialize twice');

  s.send('{"jsonrpc": "2.0", "id": 4, "method": ');
  assert.equal(await errorOf(null), -32700);
  s.bytes('Content-Type: text/plain\r\n\r\n');
  assert.equal(await errorOf(null), -32700, 'a header without Content-Length');
  s.send('[1, 2]');
  assert.equal(await errorOf(null), -32600);
  s.send({ jsonrpc: '2.0', id: { nested: true }, method: 'shutdown' });
  assert.equal(await errorOf(null), -32600, 'an id that is an object');
  s.send(request(5, 'textDocument/unknown', {}));
  assert.equal(await errorOf(5), -32601);
  s.send(notify('workspace/unknownNotification', {}));
  s.send(request(6, 'textDocument/hover', position(0, 0)));
  assert.equal(await errorOf(6), -32602, 'a document that is not open');

  // A notification with a wrong field type is dropped without an answer.
  s.send(notify('textDocument/didOpen', { textDocument: { uri: URI, languageId: 'vessrin', version: 1, text: 42 } }));
  s.send(notify('textDocument/didOpen', {
    textDocument: { uri: URI, languageId: 'vessrin', version: 1, text: 'int é = 1\nprintln(x)\n' },
  }));
  const published = await s.next();
  assert.equal(published.method, 'textDocument/publishDiagnostics');
  assert.deepEqual(published.params.diagnostics.map((d) => [d.message, d.range.start]), [
    ['Unexpected character.', { line: 0, character: 4 }],
  ]);

  for (const [id, params] of [
    [7, position(3, 0)],
    [8, position(99, 0)],
    [9, position(-1, 0)],
    [10, position(0, -3)],
    [11, { textDocument: { uri: URI }, position: { line: '0', character: 0 } }],
    [12, { textDocument: { uri: 7 }, position: { line: 0, character: 0 } }],
    [13, { textDocument: { uri: URI }, position: { line: 1e30, character: 0 } }],
    [14, null],
  ]) {
    s.send(request(id, 'textDocument/definition', params));
    assert.equal(await errorOf(id), -32602, JSON.stringify(params));
  }
  // A character past the end of its line stands for the line's end.
  s.send(request(15, 'textDocument/hover', position(1, 500)));
  assert.equal((await s.next()).id, 15);

  // A change with a range outside the text is dropped whole.
  s.send(notify('textDocument/didChange', {
    textDocument: { uri: URI, version: 2 },
    contentChanges: [{ text: 'x', range: { start: { line: 40, character: 0 }, end: { line: 41, character: 0 } } }],
  }));
  // Compilations that fail deep inside, then a clean one: nothing leaks between them.
  for (const text of ['('.repeat(5000), 'def f( {\n', 'struct S { int x\n', 'int x = 1\nprintln(x)\n']) {
    s.send(notify('textDocument/didChange', { textDocument: { uri: URI, version: 3 }, contentChanges: [{ text }] }));
    const m = await s.next();
    assert.equal(m.method, 'textDocument/publishDiagnostics');
    assert.equal(m.params.diagnostics.length === 0, text.startsWith('int x'), text.slice(0, 20));
  }
  s.send(request(16, 'textDocument/hover', position(1, 8)));
  assert.match((await s.next()).result.contents.value, /int x\n```\nglobal variable/);

  s.send(request(17, 'shutdown', null));
  assert.equal((await s.next()).result, null);
  s.send(request(18, 'textDocument/hover', position(1, 8)));
  assert.equal(await errorOf(18), -32600, 'a request after shutdown');
  s.send(notify('exit'));
  assert.equal(await s.exited, 0);
});

test('exit without shutdown ends with status 1', { skip: SKIP }, async () => {
  const s = rawSession();
  s.send(notify('exit'));
  assert.equal(await s.exited, 1);
});
