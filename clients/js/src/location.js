// Where the agent listens. This mirrors the agent's own rules exactly: a client that looked
// anywhere else, or trusted a folder the agent would refuse, could end up talking to a socket
// that someone else planted.
import fs from 'node:fs';
import util from 'node:util';

export const teamID = 'KQ7310ZV4M';
export const releaseIdentifier = 'tech.morvane.veltro';
export const developmentIdentifier = 'tech.morvane.veltro.dev';

export function serviceName(identifier = releaseIdentifier) {
  return `${teamID}.${identifier}.terminal-helper`;
}

export class RuntimeFolderError extends Error {
  constructor(folder, reason) {
    super(`The runtime folder ${folder} can’t be used: ${reason}`);
    this.name = 'RuntimeFolderError';
    // One code for every refusal, as Node's own errors have, whatever the reason.
    this.code = 'ERUNTIMEFOLDER';
    this.folder = folder;
    this.reason = reason;
  }
}

// The system's own wording for an errno (libuv's table), so reasons read like the agent's.
function describeSystemError(error) {
  const entry = typeof error.errno === 'number' && util.getSystemErrorMap().get(error.errno);
  return entry ? entry[1] : error.message;
}

export function checkRuntimeFolder(folder, uid = process.getuid()) {
  let status;
  try {
    // lstat, not stat: a symbolic link could point the socket at a folder of someone's choice.
    status = fs.lstatSync(folder);
  } catch (error) {
    throw new RuntimeFolderError(folder, describeSystemError(error));
  }
  if (status.isSymbolicLink()) throw new RuntimeFolderError(folder, 'it is a symbolic link');
  if (!status.isDirectory()) throw new RuntimeFolderError(folder, 'it is not a folder');
  if (status.uid !== uid) {
    throw new RuntimeFolderError(folder, `it is owned by user ${status.uid}, not by user ${uid}`);
  }
  if ((status.mode & 0o077) !== 0) {
    const mode = (status.mode & 0o7777).toString(8).padStart(4, '0');
    throw new RuntimeFolderError(folder, `group or others may access it (mode ${mode})`);
  }
}

// $XDG_RUNTIME_DIR when it is an absolute path; otherwise a private folder under /tmp, made on
// first use. Either is checked before it is returned.
export function runtimeFolder({ env = process.env, uid = process.getuid(), temporaryRoot = '/tmp' } = {}) {
  const runtime = env.XDG_RUNTIME_DIR;
  if (runtime && runtime.startsWith('/')) {
    checkRuntimeFolder(runtime, uid);
    return runtime;
  }
  const folder = `${temporaryRoot}/tech.morvane.veltro-${uid}`;
  try {
    fs.mkdirSync(folder, 0o700);
    // The umask may have taken bits away; the owner needs all three.
    fs.chmodSync(folder, 0o700);
  } catch (error) {
    if (error.code !== 'EEXIST') throw new RuntimeFolderError(folder, describeSystemError(error));
  }
  checkRuntimeFolder(folder, uid);
  return folder;
}

// The socket to connect to. An explicit socketPath wins; otherwise the runtime folder joined
// with the service name (release unless told otherwise).
export function socketPath({ socketPath: explicit, serviceName: name, development = false, env } = {}) {
  if (explicit) return explicit;
  const service = name ?? serviceName(development ? developmentIdentifier : releaseIdentifier);
  return `${runtimeFolder({ env })}/${service}`;
}
