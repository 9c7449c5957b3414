// Each test file runs its own agent in a private runtime folder, so tests never meet a user's
// real agent nor each other's.
import { execFileSync, spawn } from 'node:child_process';
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
  // The socket itself: a lock file beside it comes first.
  await waitFor('the agent socket', () => fs.readdirSync(folder).some((name) => fs.statSync(path.join(folder, name)).isSocket()));
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

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer().once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

const canConnect = (port) => new Promise((resolve) => {
  const socket = net.connect(port, '127.0.0.1');
  socket.once('connect', () => {
    socket.destroy();
    resolve(true);
  });
  socket.once('error', () => resolve(false));
});

// A real OpenSSH server on a loopback port for this file alone, with keys made for the run. Its
// sessions run the build's own proxy, which finds the test's agent through the XDG_RUNTIME_DIR
// given with SetEnv, since sshd starts sessions with a clean environment. Root or not alike:
// an sshd of a normal user can log in only that user, which is all it needs.
export async function startSshd(agent) {
  const sshd = ['/usr/sbin/sshd', '/usr/bin/sshd'].find((file) => fs.existsSync(file));
  if (!sshd) throw new Error('no sshd: `make deps` installs openssh-server and openssh-client');
  const folder = privateFolder();
  for (const key of ['host', 'user']) execFileSync('ssh-keygen', ['-q', '-t', 'ed25519', '-N', '', '-f', `${folder}/${key}`]);
  fs.copyFileSync(`${folder}/user.pub`, `${folder}/authorized_keys`);
  const port = await freePort();
  fs.writeFileSync(`${folder}/sshd_config`, [
    `Port ${port}`, 'ListenAddress 127.0.0.1', `HostKey ${folder}/host`, `AuthorizedKeysFile ${folder}/authorized_keys`,
    'UsePAM no', 'StrictModes no', 'PidFile none', 'PasswordAuthentication no', 'KbdInteractiveAuthentication no',
    'PermitRootLogin prohibit-password', 'LogLevel ERROR', `SetEnv XDG_RUNTIME_DIR=${agent.folder}`, '',
  ].join('\n'));
  // Its privilege separation folder; a fresh machine may lack it.
  if (process.getuid() === 0) fs.mkdirSync('/run/sshd', { recursive: true, mode: 0o755 });
  const child = spawn(sshd, ['-D', '-e', '-f', `${folder}/sshd_config`], { stdio: ['ignore', 'ignore', 'pipe'] });
  let log = '';
  child.stderr.on('data', (data) => (log += data));
  await waitFor(`sshd to listen on port ${port}`, () => {
    if (child.exitCode !== null) throw new Error(`sshd exited with status ${child.exitCode}: ${log}`);
    return canConnect(port);
  });
  const stop = async () => {
    if (child.exitCode === null) await new Promise((resolve) => child.once('exit', resolve).kill());
    fs.rmSync(folder, { recursive: true, force: true });
  };
  const options = ['-F', '/dev/null', '-p', String(port), '-i', `${folder}/user`, '-o', 'StrictHostKeyChecking=no',
    '-o', `UserKnownHostsFile=${folder}/known_hosts`, '-o', 'BatchMode=yes', '-o', 'LogLevel=ERROR'];
  return { ssh: { host: '127.0.0.1', options, command: `'${agentPath}' --proxy` }, stop };
}
