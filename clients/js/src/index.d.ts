import { EventEmitter } from 'node:events';
import { ChildProcess } from 'node:child_process';

export const releaseIdentifier: 'tech.morvane.veltro';
export const developmentIdentifier: 'tech.morvane.veltro.dev';
/**
 * What ssh runs on the host unless `ssh.command` says otherwise: the agent's `--proxy` from
 * `~/.local/bin`, or else from the PATH there, whatever the login shell.
 */
export const defaultRemoteCommand: string;

export interface SshOptions {
  /** Given to ssh as is: a host name, an alias of ~/.ssh/config, `user@host`. */
  host: string;
  /** ssh options, passed before the host (for example `['-p', '2222']`); they win over the client's. */
  options?: string[];
  /** The remote command; `defaultRemoteCommand` by default. */
  command?: string;
}

export interface ReconnectOptions {
  /** Tries after a drop before giving up. Default 8. */
  attempts?: number;
  /** Milliseconds before the first try, doubled for each next one. Default 250. */
  delay?: number;
  /** The longest wait between tries, in milliseconds. Default 10000. */
  maxDelay?: number;
}

export interface LocationOptions {
  /** Connect here and skip the runtime folder altogether. */
  socketPath?: string;
  /** The socket's name inside the runtime folder; by default the release or development one. */
  serviceName?: string;
  /** Use the development build's names (socket and identifier). */
  development?: boolean;
  /** Where XDG_RUNTIME_DIR is read from, and the environment of an agent started by the client. */
  env?: NodeJS.ProcessEnv;
}

export interface ClientOptions extends LocationOptions {
  /** Sent in the opening handshake; defaults to the release or development Veltro identifier. */
  identifier?: string;
  /** Milliseconds a request may wait for its answer; 0 waits forever. Default 10000. */
  requestTimeout?: number;
  /** Bytes a paused shell may queue before the connection stops reading. Default 65536. */
  highWaterMark?: number;
  /** An agent binary to start (`<agentPath> --agent`) when nothing listens on the socket. */
  agentPath?: string;
  /** File that a started agent's output is appended to; by default it is discarded. */
  agentLog?: string;
  /** How long to wait for a started agent to listen, in milliseconds. Default 5000. */
  agentStartTimeout?: number;
  /**
   * Reach the agent of another machine: spawn `ssh [options] -T … host -- command` and speak
   * over its standard input and output. The socket options do not apply then.
   */
  ssh?: SshOptions;
  /**
   * After the connection drops, connect again with the same options and attach every kept
   * shell from its offset, so each Shell goes on; `true` for the defaults. The first connect is
   * not retried.
   */
  reconnect?: boolean | ReconnectOptions;
}

export interface ShellOptions {
  columns?: number;
  rows?: number;
  /** An absolute folder to start in; anything else starts in the home folder. */
  folder?: string;
  /** An absolute path to a shell, started without start-up files; null starts the login shell. */
  shell?: string | null;
  /** Variables set for the shell. */
  env?: Record<string, string>;
  /**
   * Seconds (0 to 604800) the shell stays alive, detached, once this connection ends or
   * detaches it, waiting for `attachShell`. 0 or absent: it is hung up with its connection.
   * Needs an agent of protocol version 2 (`EVERSION` otherwise).
   */
  keep?: number;
  /**
   * Bytes (0 to 67108864) of the most recent output the agent keeps for `attachShell`; by
   * default 1 MiB when `keep` is given, else 0. Neither option is sent unless given.
   */
  history?: number;
  /** Report the commands the shell marks in its output ('commandStarted', 'commandFinished'). */
  marks?: boolean;
  /** Start bash, zsh and fish with the agent's shell integration, which marks commands (implies `marks`). */
  integration?: boolean;
}

export interface CommandStarted {
  /** Offset of the first byte of the command's output. */
  offset: number;
  commandLine: string | null;
}

export interface CommandFinished {
  /** Offset of the byte after the command's output. */
  offset: number;
  exitCode: number | null;
  /** Since the command started; 0 when its start was not marked. */
  milliseconds: number;
}

/** One of the shell's latest commands, as `Shell.commands()` gives it. */
export interface CommandRecord {
  commandLine: string | null;
  /** Offset where the command's output starts, null when that was not marked. */
  started: number | null;
  /** Offset after its output, null while it runs. */
  finished: number | null;
  exitCode: number | null;
  milliseconds: number | null;
}

export interface AttachOptions {
  /**
   * The offset of the first byte wanted: a `Shell.offset` saved earlier. null (the default)
   * replays the whole history the agent still keeps.
   */
  from?: number | null;
  /** The shell takes this size; at an unchanged size its programs are still told to redraw. */
  columns?: number;
  rows?: number;
}

/** One kept shell of this client's identifier, as `listShells` gives it. */
export interface KeptShellInfo {
  id: string;
  pid: number;
  /** True while any connection has the shell. */
  attached: boolean;
  exited: boolean;
  /** Offset of the oldest byte still kept. */
  oldest: number;
  /** Offset of the next byte the shell will produce. */
  produced: number;
  columns: number;
  rows: number;
  folder: string | null;
  /** The foreground program's name; null when the shell itself is in the foreground. */
  program: string | null;
  keep: number;
  /** Seconds left of the keep period while detached; null while attached. */
  left: number | null;
  /** Keys a later agent may add. */
  [key: string]: unknown;
}

export interface ExitStatus {
  /** The raw wait status. */
  status: number;
  /** The exit code when the shell exited, otherwise null. */
  code: number | null;
  /** The number of the signal that ended the shell, otherwise null. */
  signal: number | null;
  /** For example "SIGKILL". */
  signalName: string | null;
  coreDumped: boolean;
}

export class TerminalHelperError extends Error {
  constructor(message: string, code: string, options?: { method?: string | null; reason?: string | null });
  /**
   * ETIMEDOUT, ECONNCLOSED, EOPEN, EATTACH, EREQUEST, EREFUSED, EPROTO, EVERSION (the agent is
   * too old for what was asked), ENOTKEPT, EAGENT, ESSH (ssh failed or ended), ELOST (a shell
   * that a reconnecting client could not bring back), or a system error code.
   */
  code: string;
  /** The method the error is about, where there is one. */
  method: string | null;
  /** The agent's reason for closing the connection, where it gave one. */
  reason: string | null;
}

export class RuntimeFolderError extends Error {
  constructor(folder: string, reason: string);
  /** Always ERUNTIMEFOLDER. */
  code: 'ERUNTIMEFOLDER';
  folder: string;
  reason: string;
}

export interface ShellEvents {
  output: [data: Uint8Array];
  folderChanged: [folder: string];
  exit: [status: ExitStatus];
  /** Another connection attached this kept shell (the reason says so); nothing more comes here. */
  detached: [reason: string];
  /** With `marks` or `integration`: a command's output starts. In order with 'output'. */
  commandStarted: [mark: CommandStarted];
  commandFinished: [mark: CommandFinished];
  /**
   * A reconnecting client could not bring this shell back (code ELOST): it was not kept, its
   * attach failed, or the client gave up. Nothing more comes here.
   */
  lost: [error: TerminalHelperError];
  drain: [];
}

/**
 * One shell on this connection.
 *
 * Reattaching after a crash: a front end that wants its kept shells back keeps, for each one,
 * its `id` and its `offset` where they outlive the front end (a file, the page's storage),
 * saving `offset` after it has shown each chunk of output. After a crash it connects again and
 * calls `attachShell(id, { from: offset, columns, rows })`. The bytes between are then either
 * all replayed, each exactly once and in order, or, if the agent's history no longer reached
 * back that far (the new shell's `offset` > `from`, by `missed` bytes), those are lost for good
 * and output resumes at the oldest byte still kept. With `from: null` the whole kept history is
 * replayed, which redraws a fresh screen.
 */
export class Shell extends EventEmitter {
  readonly id: string;
  readonly idBytes: Uint8Array;
  pid: number | null;
  /** True once the shell exited, was closed, was detached or was attached elsewhere. */
  ended: boolean;
  /** True for a shell opened with `keep` > 0 or attached. Only a kept shell can be detached. */
  readonly kept: boolean;
  /**
   * The offset of the next output byte this shell delivers: where it was attached (0 for a new
   * shell) plus every byte emitted as 'output' since. Bytes waiting while paused do not count.
   * Inside an 'output' listener it already includes that chunk.
   */
  readonly offset: number;
  /**
   * Bytes between the asked `from` and where output resumed, lost for good; 0 for a new shell.
   * A reconnect adds what the agent's history no longer held.
   */
  readonly missed: number;
  readonly isPaused: boolean;
  /** Output bytes waiting while the shell is paused. */
  readonly bufferedBytes: number;
  /** False when the connection's send buffer is full: wait for 'drain'. */
  write(data: string | Uint8Array): boolean;
  resize(columns: number, rows: number): void;
  currentFolder(): Promise<string | null>;
  isBusy(): Promise<{ busy: boolean; name: string | null }>;
  /** The shell's last 100 commands, oldest first; empty for a shell without marks. */
  commands(): Promise<CommandRecord[]>;
  close(): void;
  /** Leaves a kept shell running without this connection; its keep period starts. ENOTKEPT for others. */
  detach(): void;
  pause(): void;
  resume(): void;
  on<K extends keyof ShellEvents>(event: K, listener: (...args: ShellEvents[K]) => void): this;
  once<K extends keyof ShellEvents>(event: K, listener: (...args: ShellEvents[K]) => void): this;
  off<K extends keyof ShellEvents>(event: K, listener: (...args: ShellEvents[K]) => void): this;
}

export interface ClientEvents {
  /** A message the agent refused (err.method names it), or a failure of the connection. */
  error: [error: TerminalHelperError | Error];
  closing: [reason: string];
  /** Once the client is done: closed, or a reconnecting client gave up. */
  close: [info: { reason: string | null }];
  /** With `reconnect`: the connection dropped; kept shells wait for 'reconnected'. */
  disconnected: [info: { error: Error; reason: string | null }];
  /** With `reconnect`: connected again, and every kept shell that could be is attached again. */
  reconnected: [];
  drain: [];
}

export class TerminalClient extends EventEmitter {
  constructor(options?: ClientOptions);
  socketPath: string | null;
  protocolVersion: number | null;
  highWaterMark: number;
  requestTimeout: number;
  /** The agent this client started, if it started one. */
  agentProcess: ChildProcess | null;
  /** With `ssh`: the ssh of the current connection. */
  sshProcess: ChildProcess | null;
  connect(): Promise<this>;
  /** Events of the returned shell start flowing once the caller has it: add listeners at once. */
  openShell(options?: ShellOptions): Promise<Shell>;
  /**
   * Attaches a kept shell of this identifier, detached or another connection's; rejects with
   * EATTACH when the agent has no such shell (`error.message` is its reason). Output starts at
   * `max(from, oldest kept byte)`, the replay first, then live output.
   */
  attachShell(id: string, options?: AttachOptions): Promise<Shell>;
  /** The kept shells of this identifier, attached or not. */
  listShells(): Promise<KeptShellInfo[]>;
  request(method: string, params: unknown[], options?: { timeout?: number }): Promise<unknown>;
  notify(method: string, params: unknown[]): boolean;
  close(): Promise<void>;
  destroy(): void;
  on<K extends keyof ClientEvents>(event: K, listener: (...args: ClientEvents[K]) => void): this;
  once<K extends keyof ClientEvents>(event: K, listener: (...args: ClientEvents[K]) => void): this;
  off<K extends keyof ClientEvents>(event: K, listener: (...args: ClientEvents[K]) => void): this;
}

export function connect(options?: ClientOptions): Promise<TerminalClient>;

export function serviceName(identifier?: string): string;
export function checkRuntimeFolder(folder: string, uid?: number): void;
export function runtimeFolder(options?: { env?: NodeJS.ProcessEnv; uid?: number; temporaryRoot?: string }): string;
export function socketPath(options?: LocationOptions): string;
export function decodeWaitStatus(status: number): ExitStatus;
