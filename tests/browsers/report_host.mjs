// A second native host for the test extension: appends each message it gets, one JSON line each,
// to the file named by its first argument, which the harness polls. Its first line records the
// arguments and working directory the browser gave it, the same a native host gets.

import { appendFileSync } from 'node:fs';

const [results, ...browser_args] = process.argv.slice(2);
appendFileSync(results, `${JSON.stringify({ reporter: { args: browser_args, cwd: process.cwd() } })}\n`);

let pending = Buffer.alloc(0);
process.stdin.on('data', (data) => {
  pending = Buffer.concat([pending, data]);
  while (pending.length >= 4 && pending.length >= 4 + pending.readUInt32LE(0)) {
    const length = pending.readUInt32LE(0);
    const message = JSON.parse(pending.subarray(4, 4 + length).toString('utf8'));
    pending = pending.subarray(4 + length);
    appendFileSync(results, `${JSON.stringify(message)}\n`);
  }
});
process.stdin.on('end', () => process.exit(0));
