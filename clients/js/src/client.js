import { spawn } from 'node:child_process';
import { randomUUID } from 'node:crypto';
import { EventEmitter } from 'node:events';
import fs from 'node:fs';
import net from 'node:net';
import { setTimeout as sleep } from 'node:timers/promises';
import { Encoder, decodeMultiStream } from '@msgpack/msgpack';
import { developmentIdentifier, releaseIdentifier, socketPath } from './location.js';
import { decodeWaitStatus } from './wait-status.js';

const REQUEST = 0;
const RESPONSE = 1;
const NOTIFICATION = 2;
const clientProtocolVersion = 1;
const encoder = new Encoder();
const utf8 = new TextEncoder();

// Hooks between a shell and its client that are not part of either's public face.
const deliver = Symbol('deliver');
const hold = Symbol('hold');
const release = Symbol('release');

export class TerminalHelperError extends Error {
  constructor(message, code, { method = null, reason = null } = {}) {
    super(message);
    this.name = 'TerminalHelperError';
    this.code = code;
    this.method = method;
    this.reason = reason;
  }
}

function checkSize(method, columns, rows) {
  if (!Number.isSafeInteger(columns) || !Number.isSafeInteger(rows)) {
    throw new TypeError(`${method}: columns and rows must be integers, not ${columns} and ${rows}`);
  }
}

function uuidBytes(uuid) {
  return Uint8Array.from(Buffer.from(uuid.replaceAll('-', ''), 'hex'));
}

function idKey(bytes) {
  return bytes instanceof Uint8Array ? Buffer.from(bytes).toString('hex') : null;
}

// Socket chunks on their way to the streaming decoder, in arrival order. The decoder does not
// iterate the socket itself so that reading can stop exactly when asked (socket.pause()).
class ChunkQueue {
  #chunks = [];
  #ended = false;
  #wake = null;

  push(chunk) {
    this.#chunks.push(chunk);
    this.#wake?.();
  }

  end() {
    this.#ended = true;
    this.#wake?.();
  }

  async *[Symbol.asyncIterator]() {
    for (;;) {
      while (this.#chunks.length > 0) yield this.#chunks.shift();
      if (this.#ended) return;
      await new Promise((resolve) => (this.#wake = resolve));
      this.#wake = null;
    }
  }
}

export class Shell extends EventEmitter {
  #client;
  #idBytes;
  #paused = false;
  #queue = [];
  #queuedBytes = 0;

  constructor(client, id) {
    super();
    this.#client = client;
    this.#idBytes = uuidBytes(id);
    this.id = id;
    this.pid = null;
    this.ended = false;
  }

  get idBytes() {
    return this.#idBytes;
  }

  get isPaused() {
    return this.#paused;
  }

  get bufferedBytes() {
    return this.#queuedBytes;
  }

  // Returns false when the connection's send buffer is full: wait for 'drain' before writing
  // more. Text goes out as UTF-8 bytes, as the agent accepts only bytes for a terminal.
  write(data) {
    const bytes = typeof data === 'string' ? utf8.encode(data) : data;
    if (!(bytes instanceof Uint8Array)) throw new TypeError('write takes a string or a Uint8Array');
    if (this.ended) return true;
    return this.#client.notify('write', [this.#idBytes, bytes]);
  }

  resize(columns, rows) {
    checkSize('resize', columns, rows);
    if (!this.ended) this.#client.notify('resize', [this.#idBytes, columns, rows]);
  }

  currentFolder() {
    return this.#client.request('currentFolder', [this.#idBytes]);
  }

  async isBusy() {
    const [busy, name] = await this.#client.request('isBusy', [this.#idBytes]);
    return { busy, name };
  }

  // The agent hangs the shell up; no 'exit' follows for a shell closed this way.
  close() {
    if (this.ended) return;
    this.ended = true;
    this.#client[release](this, true);
    this.#client.notify('close', [this.#idBytes]);
  }

  // While paused, events wait here in order. Past the client's highWaterMark the connection
  // stops reading, so the agent's flow control stops the shell instead of memory growing.
  pause() {
    this.#paused = true;
  }

  resume() {
    this.#paused = false;
    while (!this.#paused && this.#queue.length > 0) {
      const [event, value] = this.#queue.shift();
      if (event === 'output') this.#queuedBytes -= value.length;
      this.emit(event, value);
    }
    if (!this.#paused) this.#client[release](this);
  }

  [deliver](event, value) {
    if (!this.#paused) {
      this.emit(event, value);
      return;
    }
    this.#queue.push([event, value]);
    if (event === 'output') {
      this.#queuedBytes += value.length;
      if (this.#queuedBytes >= this.#client.highWaterMark) this.#client[hold](this);
    }
  }
}

export class TerminalClient extends EventEmitter {
  #options;
  #socket = null;
  #closed = false;
  #closingReason = null;
  #pending = new Map();
  #nextMsgid = 0;
  #shells = new Map();
  #holders = new Set();
  #closing = false;
  #socketError = null;

  constructor(options = {}) {
    super();
    this.#options = options;
    this.highWaterMark = options.highWaterMark ?? 64 * 1024;
    this.requestTimeout = options.requestTimeout ?? 10_000;
    this.socketPath = null;
    this.protocolVersion = null;
    this.agentProcess = null;
  }

  async connect() {
    const options = this.#options;
    this.socketPath = socketPath(options);
    const socket = await this.#dial();
    this.#socket = socket;
    const chunks = new ChunkQueue();
    socket.on('data', (chunk) => chunks.push(chunk));
    socket.on('close', () => chunks.end());
    socket.on('error', (error) => {
      this.#socketError = error;
      // Until the handshake is done, the failed hello reports it.
      if (this.protocolVersion !== null) this.emit('error', error);
    });
    socket.on('drain', () => {
      this.emit('drain');
      for (const shell of this.#shells.values()) shell.emit('drain');
    });
    this.#read(chunks);

    const identifier = options.identifier ?? (options.development ? developmentIdentifier : releaseIdentifier);
    try {
      this.notify('identify', [identifier]);
      const version = await this.request('hello', [clientProtocolVersion]);
      if (!Number.isInteger(version) || version < clientProtocolVersion) {
        throw new TerminalHelperError(`The terminal helper speaks protocol ${version}, not ${clientProtocolVersion}`, 'EPROTO');
      }
      this.protocolVersion = version;
      return this;
    } catch (error) {
      this.destroy();
      throw error;
    }
  }

  async openShell({ columns = 80, rows = 24, folder = '', shell = null, env = {} } = {}) {
    checkSize('openShell', columns, rows);
    const id = randomUUID();
    const handle = new Shell(this, id);
    const key = idKey(handle.idBytes);
    // Registered before asking, so nothing the shell prints can arrive unclaimed.
    this.#shells.set(key, handle);
    try {
      const [pid, error] = await this.request('openShell', [handle.idBytes, columns, rows, folder, shell, env]);
      if (error != null) throw new TerminalHelperError(error, 'EOPEN', { method: 'openShell' });
      handle.pid = pid;
      return handle;
    } catch (error) {
      this.#shells.delete(key);
      throw error;
    }
  }

  // Sends any request; the answer's result, or a TerminalHelperError. A newer client can probe
  // the agent for a method this way: an agent that lacks it answers with an error.
  request(method, params, { timeout = this.requestTimeout } = {}) {
    if (!this.#socket || this.#closed) return Promise.reject(this.#closedError());
    const msgid = this.#nextMsgid;
    this.#nextMsgid = (msgid + 1) % 2 ** 32;
    return new Promise((resolve, reject) => {
      const timer =
        timeout > 0
          ? setTimeout(() => {
              this.#pending.delete(msgid);
              const message = `${method} got no answer from the terminal helper within ${timeout} ms`;
              reject(new TerminalHelperError(message, 'ETIMEDOUT', { method }));
            }, timeout)
          : null;
      this.#pending.set(msgid, { method, resolve, reject, timer });
      this.#send([REQUEST, msgid, method, params]);
    });
  }

  notify(method, params) {
    if (!this.#socket || this.#closed) return true;
    return this.#send([NOTIFICATION, method, params]);
  }

  // Ends the connection after what was written so far; the agent hangs up every shell of it.
  close() {
    if (!this.#socket) return Promise.resolve();
    const closed = new Promise((resolve) => (this.#closed ? resolve() : this.once('close', resolve)));
    this.#closing = true;
    this.#socket.end();
    // Read on to the end, or the agent's end of the connection would never be seen.
    this.#socket.resume();
    return closed;
  }

  destroy() {
    this.#socket?.destroy();
  }

  #send(message) {
    return this.#socket.write(encoder.encode(message));
  }

  async #read(chunks) {
    let failure = null;
    try {
      for await (const message of decodeMultiStream(chunks)) this.#dispatch(message);
    } catch (error) {
      failure = new TerminalHelperError(`The terminal helper sent bytes that are not MessagePack: ${error.message}`, 'EPROTO');
      this.#socket.destroy();
    }
    await new Promise((resolve) => (this.#socket.closed ? resolve() : this.#socket.once('close', resolve)));
    this.#closed = true;
    const error = this.#closedError();
    for (const { reject, timer } of this.#pending.values()) {
      clearTimeout(timer);
      reject(error);
    }
    this.#pending.clear();
    if (failure) this.emit('error', failure);
    this.emit('close', { reason: this.#closingReason });
  }

  #closedError() {
    const reason = this.#closingReason;
    const cause = this.#socketError ? ` (${this.#socketError.message})` : '';
    const message = reason
      ? `The terminal helper closed the connection: ${reason}`
      : `The connection to the terminal helper is closed${cause}`;
    return new TerminalHelperError(message, 'ECONNCLOSED', { reason });
  }

  #dispatch(message) {
    if (!Array.isArray(message)) return;
    if (message[0] === RESPONSE) {
      const [, msgid, error, result] = message;
      const pending = this.#pending.get(msgid);
      // Nobody waits any more for an answer that came after its timeout.
      if (!pending) return;
      this.#pending.delete(msgid);
      clearTimeout(pending.timer);
      if (error == null) pending.resolve(result);
      else pending.reject(new TerminalHelperError(String(error), 'EREQUEST', { method: pending.method }));
    } else if (message[0] === NOTIFICATION && Array.isArray(message[2])) {
      this.#notification(message[1], message[2]);
    }
  }

  #notification(method, params) {
    switch (method) {
      case 'output':
      case 'folderChanged':
      case 'exited': {
        const shell = this.#shells.get(idKey(params[0]));
        if (!shell || shell.ended) return;
        if (method === 'output') shell[deliver]('output', params[1]);
        else if (method === 'folderChanged') shell[deliver]('folderChanged', params[1]);
        else {
          shell.ended = true;
          this.#shells.delete(idKey(params[0]));
          shell[deliver]('exit', decodeWaitStatus(params[1]));
        }
        return;
      }
      case 'error': {
        const [failedMethod, text] = params;
        this.emit('error', new TerminalHelperError(text, 'EREFUSED', { method: failedMethod }));
        return;
      }
      case 'closing':
        this.#closingReason = params[0];
        this.emit('closing', params[0]);
        return;
      default:
      // Later agents may add notifications; they are no concern of this version.
    }
  }

  [hold](shell) {
    if (this.#closing) return;
    this.#holders.add(shell);
    this.#socket.pause();
  }

  [release](shell, forget = false) {
    if (forget) this.#shells.delete(idKey(shell.idBytes));
    if (this.#holders.delete(shell) && this.#holders.size === 0) this.#socket.resume();
  }

  async #dial() {
    const path = this.socketPath;
    const { agentPath, agentLog, agentStartTimeout = 5000, env = process.env } = this.#options;
    try {
      return await dialOnce(path);
    } catch (error) {
      if (!agentPath || (error.code !== 'ENOENT' && error.code !== 'ECONNREFUSED')) throw unreachable(path, error);
    }
    const agent = startAgent(agentPath, agentLog, env);
    this.agentProcess = agent.child;
    const deadline = Date.now() + agentStartTimeout;
    for (;;) {
      await sleep(50);
      if (agent.failure) throw agent.failure;
      try {
        return await dialOnce(path);
      } catch (error) {
        if (Date.now() > deadline) {
          throw unreachable(path, error, `; ${agentPath} did not listen within ${agentStartTimeout} ms`);
        }
      }
    }
  }
}

function unreachable(path, error, more = '') {
  const failure = new TerminalHelperError(`Can’t reach the terminal helper at ${path}: ${error.message}${more}`, error.code);
  failure.cause = error;
  return failure;
}

function dialOnce(path) {
  return new Promise((resolve, reject) => {
    const socket = net.createConnection(path);
    socket.once('error', reject);
    socket.once('connect', () => {
      socket.off('error', reject);
      resolve(socket);
    });
  });
}

// Detached and in its own session, so the agent outlives this process as it would under the
// service manager. An agent that finds another one listening exits 0; that is not a failure.
function startAgent(agentPath, agentLog, env) {
  const log = agentLog ? fs.openSync(agentLog, 'a') : 'ignore';
  const child = spawn(agentPath, ['--agent'], { detached: true, stdio: ['ignore', log, log], env });
  if (typeof log === 'number') fs.closeSync(log);
  child.unref();
  const agent = { child, failure: null };
  child.on('error', (error) => {
    agent.failure = new TerminalHelperError(`Can’t start the terminal helper ${agentPath}: ${error.message}`, error.code);
  });
  child.on('exit', (code, signal) => {
    if (code === 0) return;
    const how = signal ? `was killed by ${signal}` : `exited with status ${code}`;
    agent.failure = new TerminalHelperError(`The terminal helper ${agentPath} ${how} before it listened`, 'EAGENT');
  });
  return agent;
}

export async function connect(options) {
  return new TerminalClient(options).connect();
}
