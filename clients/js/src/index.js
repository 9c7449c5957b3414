export { connect, Shell, TerminalClient, TerminalHelperError } from './client.js';
export {
  checkRuntimeFolder,
  developmentIdentifier,
  releaseIdentifier,
  runtimeFolder,
  RuntimeFolderError,
  serviceName,
  socketPath,
} from './location.js';
export { defaultRemoteCommand } from './ssh.js';
export { decodeWaitStatus } from './wait-status.js';
