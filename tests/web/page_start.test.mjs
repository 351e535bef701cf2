import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { dirname, join, normalize } from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

const web = join(dirname(fileURLToPath(import.meta.url)), '../../web');

// The modules a module imports statically ("import(…)" loads later and is left out), as paths
// relative to web/.
function staticImports(path) {
  const source = readFileSync(join(web, path), 'utf8');
  const found = [];
  const pattern = /^\s*(?:import|export)\s(?:[^;'"]*?\sfrom\s*)?['"](\.{1,2}\/[^'"]+)['"]/gm;
  for (const [, from] of source.matchAll(pattern)) found.push(normalize(join(dirname(path), from)));
  return found;
}

test('the page asks at once for every module its start imports, and for no other', () => {
  const html = readFileSync(join(web, 'index.html'), 'utf8');
  const entry = html.match(/<script type="module" src="([^"]+)"><\/script>/)[1];
  const closure = new Set();
  const visit = (path) => {
    if (closure.has(path)) return;
    closure.add(path);
    staticImports(path).forEach(visit);
  };
  visit(entry);
  const links = html.matchAll(/<link rel="modulepreload" href="([^"]+)">/g);
  const preloaded = [...links].map((m) => m[1]);
  assert.equal(new Set(preloaded).size, preloaded.length, 'a module is listed twice');
  assert.deepEqual([...preloaded].sort(), [...closure].sort());
  // Both forms of import are followed; dynamic imports are not.
  assert.ok(closure.has('js/bridge_client.js') && closure.has('js/recording_flow.js'));
  assert.ok(!closure.has('js/library.js') && !closure.has('js/editor.js'));
});
