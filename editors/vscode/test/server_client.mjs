// Starts the built vessrin-lsp (path in VESSRIN_LSP) under a vscode-jsonrpc
// client, and collects the diagnostics it publishes per URI.
import { spawn, spawnSync } from 'node:child_process';
import { pathToFileURL } from 'node:url';
import rpc from 'vscode-jsonrpc/node.js';

export function uriOf(path) {
  return pathToFileURL(path).href;
}

export async function startServer(capabilities = {}) {
  const proc = spawn(process.env.VESSRIN_LSP, [], { stdio: ['pipe', 'pipe', 'inherit'] });
  const connection = rpc.createMessageConnection(
    new rpc.StreamMessageReader(proc.stdout),
    new rpc.StreamMessageWriter(proc.stdin),
  );
  const waiting = new Map();
  const published = new Map();
  connection.onNotification('textDocument/publishDiagnostics', (params) => {
    const queue = waiting.get(params.uri);
    if (queue && queue.length > 0) queue.shift()(params);
    else published.set(params.uri, [...(published.get(params.uri) ?? []), params]);
  });
  connection.listen();
  const exited = new Promise((resolve) => proc.on('exit', (code) => resolve(code)));
  const init = await connection.sendRequest('initialize', { processId: null, rootUri: null, capabilities });
  connection.sendNotification('initialized', {});
  return {
    connection,
    init,
    exited,
    // The next diagnostics published for uri (or one published already).
    diagnostics(uri) {
      const early = published.get(uri);
      if (early && early.length > 0) return Promise.resolve(early.shift());
      return new Promise((resolve) => {
        if (!waiting.has(uri)) waiting.set(uri, []);
        waiting.get(uri).push(resolve);
      });
    },
    async stop() {
      await connection.sendRequest('shutdown');
      connection.sendNotification('exit');
      const code = await exited;
      connection.dispose();
      return code;
    },
  };
}

// `vessrin check` on a file: its errors as {message, line, column} (1-based,
// byte columns) and whether a help line follows each.
export function checkErrors(path, cwd) {
  const run = spawnSync(process.env.VESSRIN, ['check', path], { cwd, encoding: 'utf8' });
  const errors = [];
  for (const line of run.stderr.split('\n')) {
    if (line.startsWith('error: ')) errors.push({ message: line.slice(7), help: null });
    const at = line.match(/^\s+--> .*:(\d+):(\d+)$/);
    if (at) Object.assign(errors.at(-1), { line: Number(at[1]), column: Number(at[2]) });
    const help = line.match(/^\s+= help: (.*)$/);
    if (help) errors.at(-1).help = help[1];
  }
  return { status: run.status, errors };
}
