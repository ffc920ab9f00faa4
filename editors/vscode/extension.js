// The VS Code side of Vessrin support: colouring comes from the grammar alone;
// errors, hover, go to definition, symbols and completion come from the
// vessrin-lsp language server, which this client starts on standard input and
// output for every window that opens a .vsr file.
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const vscode = require('vscode');
const { LanguageClient } = require('vscode-languageclient/node');

const SERVER_NAME = 'vessrin-lsp';

let client = null;

function isExecutableFile(file) {
  try {
    if (!fs.statSync(file).isFile()) return false;
    if (process.platform !== 'win32') fs.accessSync(file, fs.constants.X_OK);
    return true;
  } catch {
    return false;
  }
}

// Looks the server up on PATH ourselves rather than leaving it to spawn, so a
// missing server gets a message that says what to install or set.
function findOnPath(name) {
  const extensions = process.platform === 'win32' ? (process.env.PATHEXT || '.EXE').split(';') : [''];
  for (const dir of (process.env.PATH || '').split(path.delimiter)) {
    if (dir === '') continue;
    for (const extension of extensions) {
      const candidate = path.join(dir, name + extension);
      if (isExecutableFile(candidate)) return candidate;
    }
  }
  return null;
}

// The server command: the setting when it is set (a leading ~ is the home
// directory), else vessrin-lsp on PATH. Returns { command } or { error }.
function resolveServer() {
  let configured = String(vscode.workspace.getConfiguration('vessrin').get('server.path', '') || '').trim();
  if (configured !== '') {
    if (configured === '~' || configured.startsWith('~/')) configured = path.join(os.homedir(), configured.slice(1));
    if (!isExecutableFile(configured)) {
      return { error: `Vessrin: the server set in vessrin.server.path (${configured}) is not an executable file.` };
    }
    return { command: configured };
  }
  const found = findOnPath(SERVER_NAME);
  if (found === null) {
    return {
      error: `Vessrin: ${SERVER_NAME} was not found on PATH. Install it or set vessrin.server.path; ` +
        'until then only syntax colouring is available.',
    };
  }
  return { command: found };
}

async function startServer() {
  const server = resolveServer();
  if (server.error) {
    vscode.window.showErrorMessage(server.error);
    return;
  }
  client = new LanguageClient(
    'vessrin',
    'Vessrin Language Server',
    { command: server.command, args: [] },
    {
      documentSelector: [
        { scheme: 'file', language: 'vessrin' },
        { scheme: 'untitled', language: 'vessrin' },
      ],
    },
  );
  try {
    await client.start();
  } catch (error) {
    client = null;
    vscode.window.showErrorMessage(`Vessrin: could not start ${server.command}: ${error && error.message ? error.message : error}`);
  }
}

async function stopServer() {
  if (client === null) return;
  const running = client;
  client = null;
  await running.stop();
}

async function restartServer() {
  await stopServer();
  await startServer();
}

async function activate(context) {
  context.subscriptions.push(
    vscode.commands.registerCommand('vessrin.restartServer', restartServer),
    vscode.workspace.onDidChangeConfiguration((event) => {
      if (event.affectsConfiguration('vessrin.server.path')) restartServer();
    }),
  );
  await startServer();
}

function deactivate() {
  return stopServer();
}

module.exports = { activate, deactivate };
