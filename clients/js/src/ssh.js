// An agent on another machine: ssh runs the agent's proxy there, and the protocol travels over
// ssh's standard input and output instead of a socket. ssh authenticates the user; its own
// standard error stays the user's, so its password prompt and its complaints show.
import { spawn } from 'node:child_process';
import { EventEmitter } from 'node:events';
import { TerminalHelperError } from './error.js';

// `make local` puts the command in ~/.local/bin, which a non-interactive ssh command rarely has
// on its PATH, and a package puts it in /usr/bin. sh -c reads the same whatever the remote
// login shell is, fish included.
export const defaultRemoteCommand =
  `sh -c 'p="$HOME/.local/bin/veltro-terminal-helper"; [ -x "$p" ] || p=veltro-terminal-helper; exec "$p" --proxy'`;

// A probe every 10 seconds, with ssh's default of three unanswered, finds a dead network (a
// laptop asleep, a router that forgot the connection) in about half a minute instead of when TCP
// gives up many minutes later, so a client that reconnects does so soon; the probes also keep
// NAT mappings alive. A host that does not answer fails the connect after 10 seconds rather than
// the system's two minutes. The user's options come first and win: ssh keeps the first value it
// gets for an option.
const sshDefaults = ['-o', 'ServerAliveInterval=10', '-o', 'ConnectTimeout=10'];

// How long ssh may take to end after its standard input did before it is killed.
const lingerMs = 3000;

function checkSsh({ host, options = [], command = defaultRemoteCommand }) {
  // A host that begins with '-' would be read as an option of ssh's.
  if (typeof host !== 'string' || host === '' || host.startsWith('-')) {
    throw new TypeError(`ssh: host must be a host name, not ${JSON.stringify(host)}`);
  }
  if (!Array.isArray(options) || !options.every((option) => typeof option === 'string')) {
    throw new TypeError('ssh: options must be an array of strings');
  }
  if (typeof command !== 'string' || command === '') throw new TypeError('ssh: command must be a string');
  return { host, options, command };
}

// The part of a net.Socket that the client uses, over a child ssh: bytes in from its standard
// output, out to its standard input; 'close' once ssh has exited and its output is read.
export class SshLink extends EventEmitter {
  #ending = false;
  #closed = false;
  #failure = null;
  #timer = null;
  #exited = false;

  constructor(ssh) {
    super();
    const { host, options, command } = checkSsh(ssh);
    this.host = host;
    this.exitCode = null;
    this.signal = null;
    // '--' keeps a command that begins with '-' from being read as an option.
    const child = spawn('ssh', [...options, '-T', ...sshDefaults, host, '--', command], { stdio: ['pipe', 'pipe', 'inherit'] });
    this.child = child;
    child.stdout.on('data', (chunk) => this.emit('data', chunk));
    // As a socket that does not stay half open: the other side is done, so this one ends too.
    child.stdout.on('end', () => this.#endInput());
    child.stdin.on('drain', () => this.emit('drain'));
    // Writing after ssh went away fails with EPIPE; how ssh ended, told at its close, says more.
    child.stdin.on('error', () => {});
    child.stdout.on('error', () => {});
    child.on('error', (error) => {
      this.#failure = new TerminalHelperError(`Can’t run ssh to reach ${host}: ${error.message}`, 'ESSH');
    });
    // What ssh wrote before it went is all there is to read, and a client that stopped reading
    // would otherwise never hear its end: read it to the end, held or not.
    child.on('exit', () => {
      this.#exited = true;
      child.stdout.resume();
    });
    child.on('close', (code, signal) => {
      clearTimeout(this.#timer);
      this.#closed = true;
      this.exitCode = code;
      this.signal = signal;
      const failed = code !== 0 && !this.#ending;
      if (!this.#failure && failed) this.#failure = this.failure();
      if (this.#failure) this.emit('error', this.#failure);
      this.emit('close');
    });
  }

  get closed() {
    return this.#closed;
  }

  // How ssh ended, as an error; `when` tells at what point, for example before the agent answered.
  failure(when = '') {
    if (this.#failure) return this.#failure;
    const how = this.signal ? `was killed by ${this.signal}` : `exited with status ${this.exitCode}`;
    return new TerminalHelperError(`ssh to ${this.host} ${how}${when ? ` ${when}` : ''}`, 'ESSH');
  }

  write(bytes) {
    return this.child.stdin.write(bytes);
  }

  // The proxy on the other side sees the end of its input, the agent closes the connection and
  // ssh exits; one that lingers is killed, so no ssh outlives its client.
  end() {
    if (this.#closed) return;
    this.#ending = true;
    this.#endInput();
  }

  #endInput() {
    this.child.stdin.end();
    this.#timer ??= setTimeout(() => this.child.kill(), lingerMs);
  }

  destroy() {
    if (this.#closed) return;
    this.#ending = true;
    this.child.kill();
  }

  pause() {
    if (!this.#exited) this.child.stdout.pause();
  }

  resume() {
    this.child.stdout.resume();
  }
}
