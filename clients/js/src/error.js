export class TerminalHelperError extends Error {
  constructor(message, code, { method = null, reason = null } = {}) {
    super(message);
    this.name = 'TerminalHelperError';
    this.code = code;
    this.method = method;
    this.reason = reason;
  }
}
