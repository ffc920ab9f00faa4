// Tokenises sample programs with the extension's grammar, the way VS Code does
// (vscode-textmate on the Oniguruma regex engine), and checks the scopes of
// chosen tokens. Each check also pins the token's extent, so a rule that
// swallows or splits its neighbours fails too.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import Module from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const require = createRequire(import.meta.url);
const vsctm = require('vscode-textmate');
const oniguruma = require('vscode-oniguruma');

const root = path.join(path.dirname(fileURLToPath(import.meta.url)), '..');
const manifest = JSON.parse(readFileSync(path.join(root, 'package.json'), 'utf8'));
const grammarPath = path.join(root, manifest.contributes.grammars[0].path);

async function loadGrammar() {
  const wasm = readFileSync(require.resolve('vscode-oniguruma/release/onig.wasm'));
  await oniguruma.loadWASM(wasm.buffer.slice(wasm.byteOffset, wasm.byteOffset + wasm.byteLength));
  const registry = new vsctm.Registry({
    onigLib: Promise.resolve({
      createOnigScanner: (sources) => new oniguruma.OnigScanner(sources),
      createOnigString: (text) => new oniguruma.OnigString(text),
    }),
    loadGrammar: async (scopeName) =>
      scopeName === 'source.vessrin'
        ? vsctm.parseRawGrammar(readFileSync(grammarPath, 'utf8'), grammarPath)
        : null,
  });
  return registry.loadGrammar('source.vessrin');
}

// Lines of the file, each with its tokens ({ start, end, scopes }).
function tokenise(grammar, text) {
  let stack = vsctm.INITIAL;
  return text.split('\n').map((line) => {
    const result = grammar.tokenizeLine(line, stack);
    stack = result.ruleStack;
    return { line, tokens: result.tokens.map((t) => ({ start: t.startIndex, end: t.endIndex, scopes: t.scopes })) };
  });
}

// Asserts that `needle` (the nth occurrence on line `lineNo`, 1-based) is one
// token carrying `scope`, and that the token starts and ends exactly there.
function expectScope(lines, lineNo, needle, scope, nth = 1) {
  const { line, tokens } = lines[lineNo - 1];
  let at = -1;
  for (let i = 0; i < nth; i++) at = line.indexOf(needle, at + 1);
  assert.notEqual(at, -1, `'${needle}' not on line ${lineNo}: ${line}`);
  const token = tokens.find((t) => t.start === at);
  const where = `'${needle}' on line ${lineNo}`;
  const shown = tokens.map((t) => `${line.slice(t.start, t.end)}|${t.scopes.at(-1)}`).join('  ');
  assert.ok(token, `${where} does not start a token: ${shown}`);
  assert.equal(token.end, at + needle.length, `${where} is not one token`);
  assert.ok(token.scopes.includes(scope), `${where} has scopes ${token.scopes.join(' ')}, not ${scope}`);
}

const grammar = await loadGrammar();
const sample = tokenise(grammar, readFileSync(path.join(root, 'test/fixtures/sample.vsr'), 'utf8'));

test('declarations: struct, methods, functions, imports', () => {
  expectScope(sample, 2, 'as', 'keyword.control.import.vessrin');
  expectScope(sample, 4, 'export', 'storage.modifier.export.vessrin');
  expectScope(sample, 4, 'struct', 'storage.type.struct.vessrin');
  expectScope(sample, 4, 'Account', 'entity.name.type.struct.vessrin');
  expectScope(sample, 9, 'deposit', 'entity.name.function.method.vessrin');
  expectScope(sample, 13, 'push', 'entity.name.function.member.vessrin');
  expectScope(sample, 13, 'history', 'variable.other.property.vessrin');
  // After the struct's closing brace, a def is a plain function again.
  expectScope(sample, 18, 'apply', 'entity.name.function.vessrin');
  // A keyword spelt after a dot is a method name.
  expectScope(sample, 24, 'map', 'entity.name.function.member.vessrin');
  expectScope(sample, 29, 'println', 'support.function.builtin.vessrin');
});

test('types: built-in generics, nullables, function types', () => {
  expectScope(sample, 6, 'array', 'support.type.builtin.vessrin');
  expectScope(sample, 6, 'int', 'support.type.primitive.vessrin');
  expectScope(sample, 6, '?', 'keyword.operator.nullable.vessrin');
  expectScope(sample, 6, '>', 'punctuation.definition.typeparameters.end.vessrin');
  expectScope(sample, 7, 'map', 'support.type.builtin.vessrin');
  expectScope(sample, 9, 'Result', 'support.type.builtin.vessrin');
  expectScope(sample, 9, 'Refusal', 'entity.name.type.vessrin');
  // The => inside array<(int) => int> must not close the type parameters.
  expectScope(sample, 18, '=>', 'keyword.operator.arrow.vessrin');
  expectScope(sample, 18, '>', 'punctuation.definition.typeparameters.end.vessrin', 2);
  expectScope(sample, 23, 'null', 'constant.language.null.vessrin');
  expectScope(sample, 24, 'auto', 'storage.type.auto.vessrin');
});

test('strings: valid escapes, unknown escapes as errors, multi-line strings', () => {
  expectScope(sample, 11, '\\t', 'constant.character.escape.vessrin');
  expectScope(sample, 11, '\\q', 'invalid.illegal.unknown-escape.vessrin');
  // A backslash at the end of a line escapes nothing; the string goes on.
  expectScope(sample, 27, '\\', 'invalid.illegal.unknown-escape.vessrin');
  expectScope(sample, 28, 'still the string', 'string.quoted.double.vessrin');
  expectScope(sample, 28, '\\"', 'constant.character.escape.vessrin', 2);
});

test('numbers and operators: longest match, as the scanner reads them', () => {
  // 1.5.2 is the float 1.5, a dot and the int 2.
  expectScope(sample, 22, '1.5', 'constant.numeric.float.vessrin');
  expectScope(sample, 22, '.', 'punctuation.accessor.vessrin', 2);
  expectScope(sample, 22, '2', 'constant.numeric.integer.vessrin');
  expectScope(sample, 22, '**', 'keyword.operator.arithmetic.vessrin');
  expectScope(sample, 25, '**=', 'keyword.operator.assignment.compound.vessrin');
  expectScope(sample, 26, '<<=', 'keyword.operator.assignment.compound.vessrin');
  expectScope(sample, 26, ';', 'invalid.illegal.character.vessrin');
  expectScope(sample, 19, '=>', 'keyword.operator.arrow.vessrin');
  // Digits in a name are no number; 7. is an int and a dot, .5 a dot and an int.
  const edge = tokenise(grammar, 'x1 = 12abc + 7. + .5');
  expectScope(edge, 1, '12', 'constant.numeric.integer.vessrin');
  expectScope(edge, 1, 'abc', 'variable.other.vessrin');
  expectScope(edge, 1, '.', 'punctuation.accessor.vessrin');
  expectScope(edge, 1, '5', 'constant.numeric.integer.vessrin');
});

test('the manifest, the language configuration and the client agree', async () => {
  const language = manifest.contributes.languages[0];
  assert.deepEqual([language.id, language.extensions], ['vessrin', ['.vsr']]);
  assert.deepEqual([manifest.activationEvents, manifest.contributes.grammars[0].language], [['onLanguage:vessrin'], 'vessrin']);
  assert.equal(JSON.parse(readFileSync(grammarPath, 'utf8')).scopeName, manifest.contributes.grammars[0].scopeName);
  const config = JSON.parse(readFileSync(path.join(root, language.configuration), 'utf8'));
  assert.equal(config.comments, undefined);
  assert.ok(config.autoClosingPairs.some((p) => p.open === '"'));

  // Load the client with stand-ins for VS Code and the client library, then
  // activate it: it must start the server named by the setting the manifest
  // declares, for the language the manifest declares.
  const started = [];
  const settings = { 'server.path': process.execPath };
  const vscode = {
    workspace: {
      getConfiguration: (section) => ({ get: (key, fallback) => (section === 'vessrin' && key in settings ? settings[key] : fallback) }),
      onDidChangeConfiguration: () => ({ dispose() {} }),
    },
    window: { showErrorMessage: (message) => started.push({ error: message }) },
    commands: { registerCommand: (name) => ({ name, dispose() {} }) },
  };
  class LanguageClient {
    constructor(id, name, server, client) { Object.assign(this, { id, server, client }); }
    async start() { started.push(this); }
    async stop() {}
  }
  // The stand-in replaces a module that must really be installed.
  require.resolve('vscode-languageclient/node', { paths: [root] });
  const originalLoad = Module._load;
  Module._load = function (request, ...rest) {
    if (request === 'vscode') return vscode;
    if (request === 'vscode-languageclient/node') return { LanguageClient };
    return originalLoad.call(this, request, ...rest);
  };
  try {
    const extension = require(path.join(root, manifest.main));
    const context = { subscriptions: [] };
    assert.ok(manifest.contributes.configuration.properties['vessrin.server.path']);
    await extension.activate(context);
    assert.equal(started.length, 1, JSON.stringify(started));
    assert.equal(started[0].server.command, process.execPath);
    assert.ok(started[0].client.documentSelector.some((s) => s.language === 'vessrin'));
    const commands = context.subscriptions.map((d) => d.name).filter(Boolean);
    assert.deepEqual(commands, manifest.contributes.commands.map((c) => c.command));
    await extension.deactivate();
  } finally {
    Module._load = originalLoad;
  }
});
