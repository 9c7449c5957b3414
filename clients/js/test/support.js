// Each test file runs its own agent in a private runtime folder, so tests never meet a user's
// real agent nor each other's.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
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

// A stand-in agent on a private socket: it records every message a client sends and answers
// each request with what `answer(method, params, socket)` returns (a result, or undefined for
// no answer); `send` writes any message to the client.
export async function fakeAgent(answer) {
  const { Encoder, decodeMultiStream } = await import('@msgpack/msgpack');
  const encoder = new Encoder();
  const folder = privateFolder();
  const socketPath = path.join(folder, 'agent');
  const received = [];
  const server = net.createServer(async (socket) => {
    const send = (...messages) => socket.write(Buffer.concat(messages.map((message) => encoder.encode(message))));
    try {
      for await (const message of decodeMultiStream(socket)) {
        received.push(message);
        if (message[0] !== 0) continue;
        const [result, ...more] = (await answer(message[2], message[3])) ?? [];
        if (result !== undefined) send([1, message[1], null, result], ...more);
      }
    } catch {
      socket.destroy();
    }
  });
  await new Promise((resolve) => server.listen(socketPath, resolve));
  return {
    socketPath,
    received,
    stop: () => new Promise((resolve) => server.close(() => resolve(fs.rmSync(folder, { recursive: true, force: true })))),
  };
}
