// Both published modules: what each exports is what its types declare, and npm would pack what
// package.json names.
import assert from 'node:assert/strict';
import { existsSync, readFileSync } from 'node:fs';
import { test } from 'node:test';

const packages = [
  { dir: new URL('../', import.meta.url), module: 'npcorvane-web.js', types: 'npcorvane-web.d.ts' },
  { dir: new URL('../../js/', import.meta.url), module: 'npcorvane.js', types: 'npcorvane.d.ts' },
];

test('exports, types and package files agree', async (t) => {
  for (const { dir, module, types } of packages) {
    await t.test(module, async () => {
      const exported = Object.keys(await import(new URL(module, dir))).sort();
      const declared = [...readFileSync(new URL(types, dir), 'utf8')
        .matchAll(/^export (?:const|function|class) (\w+)/gm)].map((m) => m[1]);
      assert.deepEqual([...new Set(declared)].sort(), exported);
      const manifest = JSON.parse(readFileSync(new URL('package.json', dir), 'utf8'));
      assert.equal(manifest.license, 'MIT');
      assert.equal(manifest.types, types);
      for (const file of manifest.files) assert.ok(existsSync(new URL(file, dir)), `${module}: ${file} is missing`);
    });
  }
});
