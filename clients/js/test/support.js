// Each test file runs its own agent in a private runtime folder, so tests never meet a user's
// real agent nor each other's.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';

export const agentPath = path.resolve(process.env.VELTRO_AGENT ?? new URL('../../../build/veltro-terminal-helper', import.meta.url).pathname);
// Every test gets this, so one that waits for something that never comes fails instead of hanging.
export const limit = { timeout: 60_000 };

export function privateFolder() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'veltro-js-'));
}

export async function waitFor(what, predicate) {
  for (const deadline = Date.now() + 10_000; !(await predicate()); await sleep(20)) {
    if (Date.now() > deadline) throw new Error(`gave up waiting for ${typeof what === 'function' ? what() : what}`);
  }
}

export async function startAgent() {
  if (!fs.existsSync(agentPath)) throw new Error(`no agent at ${agentPath}: build it or set VELTRO_AGENT`);
  const folder = privateFolder();
  const env = { ...process.env, XDG_RUNTIME_DIR: folder };
  const child = spawn(agentPath, ['--agent'], { env, stdio: 'ignore' });
  await waitFor('the agent socket', () => fs.readdirSync(folder).length > 0);
  const stop = async () => {
    if (child.exitCode === null) await new Promise((resolve) => child.once('exit', resolve).kill());
    fs.rmSync(folder, { recursive: true, force: true });
  };
  return { env, folder, stop };
}

// Everything a shell prints, decoded, and a way to wait for some of it.
export function collect(shell) {
  const seen = { text: '' };
  const decoder = new TextDecoder();
  shell.on('output', (data) => (seen.text += decoder.decode(data, { stream: true })));
  seen.until = (needle) => waitFor(() => `"${needle}" in ${JSON.stringify(seen.text.slice(-300))}`, () => seen.text.includes(needle));
  return seen;
}
