import { EventEmitter } from 'node:events';
import { ChildProcess } from 'node:child_process';

export const releaseIdentifier: 'tech.morvane.veltro';
export const developmentIdentifier: 'tech.morvane.veltro.dev';

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
  /** ETIMEDOUT, ECONNCLOSED, EOPEN, EREQUEST, EREFUSED, EPROTO, EAGENT, or a system error code. */
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
  drain: [];
}

export class Shell extends EventEmitter {
  readonly id: string;
  readonly idBytes: Uint8Array;
  pid: number | null;
  /** True once the shell exited or was closed. */
  ended: boolean;
  readonly isPaused: boolean;
  /** Output bytes waiting while the shell is paused. */
  readonly bufferedBytes: number;
  /** False when the connection's send buffer is full: wait for 'drain'. */
  write(data: string | Uint8Array): boolean;
  resize(columns: number, rows: number): void;
  currentFolder(): Promise<string | null>;
  isBusy(): Promise<{ busy: boolean; name: string | null }>;
  close(): void;
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
  close: [info: { reason: string | null }];
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
  connect(): Promise<this>;
  openShell(options?: ShellOptions): Promise<Shell>;
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
