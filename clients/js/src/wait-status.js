// The agent reports a shell's end as the raw status from waitpid(2); front ends want to show
// "exited with 3" or "killed by SIGKILL", so decode it the way WIFEXITED and friends do on Linux.
import os from 'node:os';

const signalNames = new Map(Object.entries(os.constants.signals).map(([name, number]) => [number, name]));

export function decodeWaitStatus(status) {
  const low = status & 0x7f;
  if (low === 0) {
    return { status, code: (status >> 8) & 0xff, signal: null, signalName: null, coreDumped: false };
  }
  if (low !== 0x7f) {
    return {
      status,
      code: null,
      signal: low,
      signalName: signalNames.get(low) ?? null,
      coreDumped: (status & 0x80) !== 0,
    };
  }
  // A stopped process: the agent never reports one, but an unknown status should not pass as
  // an ordinary exit.
  return { status, code: null, signal: null, signalName: null, coreDumped: false };
}
