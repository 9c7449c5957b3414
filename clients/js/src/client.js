import { spawn } from 'node:child_process';
import { randomUUID } from 'node:crypto';
import { EventEmitter } from 'node:events';
import fs from 'node:fs';
import net from 'node:net';
import { setTimeout as sleep } from 'node:timers/promises';
import { Encoder, decodeMultiStream } from '@msgpack/msgpack';
import { TerminalHelperError } from './error.js';
import { developmentIdentifier, releaseIdentifier, socketPath } from './location.js';
import { SshLink } from './ssh.js';
import { decodeWaitStatus } from './wait-status.js';

const REQUEST = 0;
const RESPONSE = 1;
const NOTIFICATION = 2;
// The version this client speaks. It still works with a version 1 agent, which answers 1
// whatever is sent: only the features of version 2 need the agent's answer to be 2.
const clientProtocolVersion = 2;
const oldestProtocolVersion = 1;
const uuidPattern = /^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$/i;
const encoder = new Encoder();
const utf8 = new TextEncoder();

// Hooks between a shell and its client that are not part of either's public face.
const deliver = Symbol('deliver');
const hold = Symbol('hold');
const release = Symbol('release');
const handOver = Symbol('handOver');
const forget = Symbol('forget');
const reattaching = Symbol('reattaching');
const lastSize = Symbol('lastSize');

export { TerminalHelperError };

function checkSize(method, columns, rows) {
  if (!Number.isSafeInteger(columns) || !Number.isSafeInteger(rows)) {
    throw new TypeError(`${method}: columns and rows must be integers, not ${columns} and ${rows}`);
  }
}

function checkOffset(method, from) {
  if (from != null && !(Number.isSafeInteger(from) && from >= 0)) {
    throw new TypeError(`${method}: from must be null or an offset (an integer from 0), not ${from}`);
  }
}

function checkOption(name, value, type = 'integer') {
  const fits = type === 'integer' ? Number.isSafeInteger(value) : typeof value === 'boolean';
  if (value !== undefined && !fits) throw new TypeError(`openShell: ${name} must be ${type === 'integer' ? 'an integer' : 'true or false'}, not ${value}`);
}

function uuidBytes(uuid) {
  return Uint8Array.from(Buffer.from(uuid.replaceAll('-', ''), 'hex'));
}

function uuidString(bytes) {
  const hex = Buffer.from(bytes).toString('hex');
  return [hex.slice(0, 8), hex.slice(8, 12), hex.slice(12, 16), hex.slice(16, 20), hex.slice(20)].join('-');
}

// Only the options asked for travel, so a client that asks for none sends version 1's message.
function openOptions(given) {
  const options = {};
  for (const [name, type] of [['keep', 'integer'], ['history', 'integer'], ['marks', 'boolean'], ['integration', 'boolean']]) {
    checkOption(name, given[name], type);
    if (given[name] !== undefined) options[name] = given[name];
  }
  return Object.keys(options).length > 0 ? options : null;
}

// Tries to come back after a dropped connection: `attempts` times, waiting `delay` ms before
// the first and twice as long before each next one, up to `maxDelay`.
function reconnectOptions(reconnect) {
  if (!reconnect) return null;
  const { attempts = 8, delay = 250, maxDelay = 10_000 } = reconnect === true ? {} : reconnect;
  for (const [name, value] of Object.entries({ attempts, delay, maxDelay })) {
    if (!(Number.isSafeInteger(value) && value >= 0)) throw new TypeError(`reconnect: ${name} must be an integer from 0, not ${value}`);
  }
  return { attempts, delay, maxDelay };
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
  // Events wait until the caller has the shell in hand: an attach's replay follows its answer
  // at once, before any listener could have been added.
  #held = true;
  #queue = [];
  #queuedBytes = 0;
  #offset = 0;
  // Asked again when the shell is attached after a reconnect.
  #size;

  constructor(client, id, { kept = false, columns, rows } = {}) {
    super();
    this.#client = client;
    this.#idBytes = uuidBytes(id);
    this.#size = [columns, rows];
    this.id = id;
    this.pid = null;
    this.ended = false;
    this.kept = kept;
    this.missed = 0;
  }

  [lastSize]() {
    return this.#size;
  }

  // The offset of the next output byte this shell will deliver: every byte delivered so far
  // counts, and none that merely waits while the shell is paused.
  get offset() {
    return this.#offset;
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
    if (this.ended) return;
    this.#size = [columns, rows];
    this.#client.notify('resize', [this.#idBytes, columns, rows]);
  }

  currentFolder() {
    return this.#client.request('currentFolder', [this.#idBytes]);
  }

  async isBusy() {
    const [busy, name] = await this.#client.request('isBusy', [this.#idBytes]);
    return { busy, name };
  }

  // The shell's latest commands, oldest first, with the offsets where each one's output starts
  // and ends: what a client that attached again needs to find them. Empty without marks.
  commands() {
    return this.#client.request('commands', [this.#idBytes]);
  }

  // The agent hangs the shell up; no 'exit' follows for a shell closed this way.
  close() {
    if (this.ended) return;
    this.ended = true;
    this.#client[forget](this);
    this.#client.notify('close', [this.#idBytes]);
  }

  // A kept shell runs on without this connection until its keep period ends. Output the agent
  // sent before it saw this is dropped uncounted, so attaching from `offset` gets it again.
  detach() {
    if (!this.kept) throw new TerminalHelperError('detach: only a kept shell can be detached; close it instead', 'ENOTKEPT', { method: 'detach' });
    if (this.ended) return;
    this.ended = true;
    this.#client[forget](this);
    this.#client.notify('detach', [this.#idBytes]);
  }

  // While paused, events wait here in order. Past the client's highWaterMark the connection
  // stops reading, so the agent's flow control stops the shell instead of memory growing.
  pause() {
    this.#paused = true;
  }

  resume() {
    this.#paused = false;
    this.#flush();
  }

  #flush() {
    while (!this.#paused && !this.#held && this.#queue.length > 0) {
      const [event, value] = this.#queue.shift();
      if (event === 'output') this.#queuedBytes -= value.length;
      this.#emit(event, value);
    }
    if (!this.#paused && !this.#held) this.#client[release](this);
  }

  // Counted before the listeners run, so inside an 'output' listener `offset` already lies past
  // the chunk: it is what to attach from once the chunk has been shown.
  #emit(event, value) {
    if (event === 'output') this.#offset += value.length;
    this.emit(event, value);
  }

  // Called when the caller receives the shell: from here on, events flow unless paused.
  [handOver](offset = 0, from = offset) {
    this.#offset = offset;
    this.missed += Math.max(0, offset - from);
    setImmediate(() => {
      this.#held = false;
      this.#flush();
    });
  }

  // The connection broke: output that waited undelivered comes again when the shell is attached
  // from `offset`, so it goes now, and events wait until that attach has answered.
  [reattaching]() {
    this.#held = true;
    this.#queue = this.#queue.filter(([event]) => event !== 'output');
    this.#queuedBytes = 0;
  }

  [deliver](event, value) {
    if (!this.#paused && !this.#held) {
      this.#emit(event, value);
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
  #reconnect;
  #socket = null;
  #closed = false;
  #closingReason = null;
  #pending = new Map();
  #nextMsgid = 0;
  #shells = new Map();
  #holders = new Set();
  #closing = false;
  #socketError = null;
  // Set by close() and destroy(): the client does not come back after that.
  #stopped = false;
  #finished = false;
  #reconnecting = false;
  // Cuts short the wait before the next try when the client is closed meanwhile.
  #stopWaiting = new AbortController();

  constructor(options = {}) {
    super();
    this.#options = options;
    this.#reconnect = reconnectOptions(options.reconnect);
    this.highWaterMark = options.highWaterMark ?? 64 * 1024;
    this.requestTimeout = options.requestTimeout ?? 10_000;
    this.socketPath = null;
    this.protocolVersion = null;
    this.agentProcess = null;
    this.sshProcess = null;
  }

  async connect() {
    await this.#open();
    return this;
  }

  // Dials (or starts ssh) and shakes hands; a failure leaves nothing open.
  async #open() {
    const options = this.#options;
    const link = await this.#dial();
    this.#socket = link;
    this.#closed = false;
    this.#closing = false;
    this.#closingReason = null;
    this.#socketError = null;
    this.#holders.clear();
    const state = { established: false };
    const chunks = new ChunkQueue();
    link.on('data', (chunk) => chunks.push(chunk));
    link.on('close', () => chunks.end());
    link.on('error', (error) => {
      this.#socketError = error;
      // Until the handshake is done, the failed hello reports it; a client that reconnects
      // tells of a broken connection with 'disconnected'.
      if (state.established && !this.#reconnect) this.emit('error', error);
    });
    link.on('drain', () => {
      this.emit('drain');
      for (const shell of this.#shells.values()) shell.emit('drain');
    });
    this.#read(link, chunks, state);

    const identifier = options.identifier ?? (options.development ? developmentIdentifier : releaseIdentifier);
    try {
      this.notify('identify', [identifier]);
      // ssh may be asking for a password on the terminal meanwhile: no time limit fits that.
      const timeout = link instanceof SshLink ? 0 : this.requestTimeout;
      const version = await this.request('hello', [clientProtocolVersion], { timeout });
      if (!Number.isInteger(version) || version < oldestProtocolVersion) {
        throw new TerminalHelperError(`The terminal helper speaks protocol ${version}, which this client does not`, 'EPROTO');
      }
      this.protocolVersion = version;
      state.established = true;
    } catch (error) {
      link.destroy();
      if (link instanceof SshLink && link.closed) throw link.failure('before the terminal helper answered');
      throw error;
    }
  }

  async openShell({ columns = 80, rows = 24, folder = '', shell = null, env = {}, ...more } = {}) {
    checkSize('openShell', columns, rows);
    const options = openOptions(more);
    if (options) this.#needVersion2(`openShell with ${Object.keys(options).join(' and ')}`);
    const handle = new Shell(this, randomUUID(), { kept: more.keep > 0, columns, rows });
    const params = [handle.idBytes, columns, rows, folder, shell, env];
    if (options) params.push(options);
    const [pid, error] = await this.#start(handle, 'openShell', params);
    if (error != null) throw new TerminalHelperError(error, 'EOPEN', { method: 'openShell' });
    handle.pid = pid;
    handle[handOver]();
    return handle;
  }

  // Takes a kept shell of this identifier: one that is detached, or that another connection
  // has (that connection then hears 'detached'). Output starts at max(from, the oldest byte the
  // agent still keeps); with from null, at the oldest, which replays the whole history.
  async attachShell(id, { from = null, columns = 80, rows = 24 } = {}) {
    if (typeof id !== 'string' || !uuidPattern.test(id)) throw new TypeError(`attachShell: ${id} is not a shell id`);
    checkOffset('attachShell', from);
    checkSize('attachShell', columns, rows);
    this.#needVersion2('attachShell');
    const handle = new Shell(this, id.toLowerCase(), { kept: true, columns, rows });
    // A second handle would take the first one's events; the agent refuses this case anyway.
    if (this.#shells.has(idKey(handle.idBytes))) {
      throw new TerminalHelperError('attachShell: this connection has this shell already', 'EATTACH', { method: 'attach' });
    }
    const [pid, offset, error] = await this.#start(handle, 'attach', [handle.idBytes, from ?? null, columns, rows]);
    if (error != null) throw new TerminalHelperError(error, 'EATTACH', { method: 'attach' });
    handle.pid = pid;
    handle[handOver](offset, from ?? offset);
    return handle;
  }

  // The kept shells of this client's identifier, attached or not, ids as strings.
  async listShells() {
    this.#needVersion2('listShells');
    const shells = await this.request('list', []);
    return shells.map((shell) => ({ ...shell, id: uuidString(shell.id) }));
  }

  // Registered before asking, so nothing the shell prints can arrive unclaimed.
  async #start(handle, method, params) {
    const key = idKey(handle.idBytes);
    this.#shells.set(key, handle);
    try {
      const answer = await this.request(method, params);
      if (answer[answer.length - 1] != null) this.#shells.delete(key);
      return answer;
    } catch (error) {
      this.#shells.delete(key);
      throw error;
    }
  }

  #needVersion2(what) {
    if (this.protocolVersion >= 2) return;
    throw new TerminalHelperError(`${what} needs protocol version 2; the terminal helper speaks ${this.protocolVersion}`, 'EVERSION');
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

  // While the connection is down (between a drop and a reconnect) what is sent is dropped.
  notify(method, params) {
    if (!this.#socket || this.#closed) return true;
    return this.#send([NOTIFICATION, method, params]);
  }

  // Ends the connection after what was written so far; the agent hangs up every shell of it
  // and detaches the kept ones. A client waiting to reconnect stops waiting.
  close() {
    this.#stopped = true;
    this.#stopWaiting.abort();
    if (this.#finished || (!this.#socket && !this.#reconnecting)) return Promise.resolve();
    const closed = new Promise((resolve) => this.once('close', resolve));
    if (this.#socket && !this.#closed) {
      this.#closing = true;
      this.#socket.end();
      // Read on to the end, or the agent's end of the connection would never be seen.
      this.#socket.resume();
    } else {
      this.#finish();
    }
    return closed;
  }

  destroy() {
    this.#stopped = true;
    this.#stopWaiting.abort();
    if (this.#socket && !this.#closed) this.#socket.destroy();
    else if (this.#reconnecting) this.#finish();
  }

  #send(message) {
    return this.#socket.write(encoder.encode(message));
  }

  async #read(link, chunks, state) {
    let failure = null;
    try {
      for await (const message of decodeMultiStream(chunks)) this.#dispatch(message);
    } catch (error) {
      failure = new TerminalHelperError(`The terminal helper sent bytes that are not MessagePack: ${error.message}`, 'EPROTO');
      link.destroy();
    }
    await new Promise((resolve) => (link.closed ? resolve() : link.once('close', resolve)));
    this.#closed = true;
    const error = this.#closedError();
    for (const { reject, timer } of this.#pending.values()) {
      clearTimeout(timer);
      reject(error);
    }
    this.#pending.clear();
    if (failure) this.emit('error', failure);
    // A reconnect attempt that failed is told by the rejected connect of that attempt.
    if (!state.established && this.#reconnecting) return;
    if (state.established && this.#reconnect && !this.#stopped) {
      this.#comeBack(failure ?? this.#socketError ?? error);
      return;
    }
    this.#finish();
  }

  #finish() {
    if (this.#finished) return;
    this.#finished = true;
    if (this.#reconnecting) {
      for (const shell of [...this.#shells.values()]) this.#lose(shell, 'The client was closed before it could attach this shell again');
    }
    this.#reconnecting = false;
    this.emit('close', { reason: this.#closingReason });
  }

  // After a dropped connection: connect again with the same options, then attach every kept
  // shell from the offset it reached, so each Shell goes on as if nothing happened. A shell that
  // was not kept died with the connection; it and any shell that can't be attached get 'lost'.
  async #comeBack(cause) {
    this.#reconnecting = true;
    this.emit('disconnected', { error: cause, reason: this.#closingReason });
    for (const shell of [...this.#shells.values()]) {
      if (shell.kept) shell[reattaching]();
      else this.#lose(shell, 'The connection to the terminal helper broke, and this shell was not kept');
    }
    const { attempts, delay, maxDelay } = this.#reconnect;
    let lastError = cause;
    for (let attempt = 0; attempt < attempts && !this.#stopped; attempt++) {
      await sleep(Math.min(maxDelay, delay * 2 ** attempt), undefined, { signal: this.#stopWaiting.signal }).catch(() => {});
      if (this.#stopped) break;
      try {
        await this.#open();
      } catch (error) {
        lastError = error;
        continue;
      }
      const link = this.#socket;
      // Closed while this connection was being made: it is not wanted any more.
      if (this.#stopped) {
        link.end();
        break;
      }
      await Promise.all([...this.#shells.values()].map((shell) => this.#reattach(shell)));
      // Broken again meanwhile: that drop started its own round.
      if (this.#socket !== link || this.#closed) return;
      this.#reconnecting = false;
      this.emit('reconnected');
      return;
    }
    if (this.#stopped) return this.#finish();
    const message = `Gave up reconnecting to the terminal helper after ${attempts} attempts: ${lastError?.message}`;
    for (const shell of [...this.#shells.values()]) this.#lose(shell, message);
    this.#closingReason ??= message;
    this.#finish();
  }

  async #reattach(shell) {
    const from = shell.offset;
    const [columns, rows] = shell[lastSize]();
    try {
      const [pid, offset, error] = await this.request('attach', [shell.idBytes, from, columns, rows]);
      if (error != null) return this.#lose(shell, `The kept shell could not be attached again: ${error}`);
      shell.pid = pid;
      shell[handOver](offset, from);
    } catch (error) {
      // A connection that broke again is the next round's to mend.
      if (error.code !== 'ECONNCLOSED') this.#lose(shell, `The kept shell could not be attached again: ${error.message}`);
    }
  }

  #lose(shell, message) {
    shell.ended = true;
    this[forget](shell);
    // Lets out what waited for an attach that will not come, then the news.
    shell[handOver](shell.offset);
    shell[deliver]('lost', new TerminalHelperError(message, 'ELOST'));
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
      case 'exited':
      case 'detached':
      case 'commandStarted':
      case 'commandFinished': {
        const shell = this.#shells.get(idKey(params[0]));
        if (!shell || shell.ended) return;
        if (method === 'output') shell[deliver]('output', params[1]);
        else if (method === 'folderChanged') shell[deliver]('folderChanged', params[1]);
        else if (method === 'commandStarted') shell[deliver](method, { offset: params[1], commandLine: params[2] ?? null });
        else if (method === 'commandFinished') {
          shell[deliver](method, { offset: params[1], exitCode: params[2] ?? null, milliseconds: params[3] });
        } else {
          shell.ended = true;
          this.#shells.delete(idKey(params[0]));
          if (method === 'exited') shell[deliver]('exit', decodeWaitStatus(params[1]));
          else shell[deliver]('detached', params[1]);
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

  [release](shell) {
    if (this.#holders.delete(shell) && this.#holders.size === 0) this.#socket.resume();
  }

  [forget](shell) {
    this.#shells.delete(idKey(shell.idBytes));
    this[release](shell);
  }

  async #dial() {
    if (this.#options.ssh) {
      const link = new SshLink(this.#options.ssh);
      this.sshProcess = link.child;
      return link;
    }
    this.socketPath = socketPath(this.#options);
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
