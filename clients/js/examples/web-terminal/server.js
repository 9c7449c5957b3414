// A browser terminal: one page, one shell. The page runs xterm.js and talks to this server over
// a WebSocket; the server bridges each page to the terminal helper through its own connection,
// so a page that falls behind slows only its own shell.
//
//   node examples/web-terminal/server.js          then open the address it prints
//
// The address carries a token made afresh at each start. Every local user can reach a loopback
// port, and any program can claim whatever Origin and Host it likes, so the token is what keeps
// the shell to whoever can read this server's output.
//
// A page keeps its shell across a reload: the shell is kept for KEEP seconds once its page is
// gone, the page remembers its id for the tab, and the reloaded page attaches it again.
//
// Environment: PORT, VELTRO_AGENT (an agent binary to start when none listens), VELTRO_SHELL
// (an absolute shell path; the login shell by default), KEEP (seconds, default 60; 0 keeps
// nothing).
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import { createRequire } from 'node:module';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { WebSocketServer } from 'ws';
import { connect } from '@veltro/terminal-client';

const here = path.dirname(fileURLToPath(import.meta.url));
const packageFolder = (name) => path.dirname(createRequire(import.meta.url).resolve(`${name}/package.json`));

// Only these files are served: nothing else under node_modules is any page's business.
const files = {
  '/': [path.join(here, 'public/index.html'), 'text/html; charset=utf-8'],
  '/xterm.mjs': [path.join(packageFolder('@xterm/xterm'), 'lib/xterm.mjs'), 'text/javascript'],
  '/xterm.css': [path.join(packageFolder('@xterm/xterm'), 'css/xterm.css'), 'text/css'],
  '/addon-fit.mjs': [path.join(packageFolder('@xterm/addon-fit'), 'lib/addon-fit.mjs'), 'text/javascript'],
};

// Output waiting for a slow page: past the high mark the shell is paused, below the low one it
// goes on.
const highMark = 1024 * 1024;
const lowMark = 256 * 1024;

// Binary frames carry the terminal's bytes both ways; text frames carry JSON: a resize from the
// page; from here the shell the page has (`{ shell: { id, pid, kept }, history }`, before any
// of its bytes, `history` counting the replayed ones), the end of each of its commands
// (`{ finished: { exitCode } }`), its end or a failure.
async function bridge(ws, request, { clientOptions, shell: shellPath, keep }) {
  ws.pause();
  const end = (ending) => {
    if (ws.readyState !== ws.OPEN) return;
    ws.send(JSON.stringify(ending));
    ws.close();
  };
  let client;
  // Ending the connection detaches a kept shell, so a reloaded page finds it again.
  ws.once('close', () => client?.close());
  try {
    client = await connect(clientOptions);
    client.on('error', (error) => console.error(`terminal helper: ${error.message}`));
    client.on('close', () => end({ error: 'The terminal helper went away.' }));
    const asked = new URL(request.url, 'http://localhost').searchParams;
    const size = { columns: Number(asked.get('columns')) || 80, rows: Number(asked.get('rows')) || 24 };
    const { shell, history } = (await reattach(client, asked.get('shell'), size)) ?? {
      shell: await client.openShell({
        ...size,
        shell: shellPath ?? null,
        env: { TERM: 'xterm-256color' },
        // Shell integration reports each command, so the page can show one that failed.
        ...(client.protocolVersion >= 2 ? { integration: true, ...(keep > 0 ? { keep } : {}) } : {}),
      }),
      history: 0,
    };
    if (ws.readyState !== ws.OPEN) return client.close();
    ws.send(JSON.stringify({ shell: { id: shell.id, pid: shell.pid, kept: shell.kept }, history }));
    shell.on('output', (data) => {
      ws.send(data, () => ws.bufferedAmount < lowMark && shell.isPaused && shell.resume());
      if (ws.bufferedAmount > highMark) shell.pause();
    });
    shell.on('commandFinished', ({ exitCode }) => ws.send(JSON.stringify({ finished: { exitCode } })));
    shell.on('exit', (status) => end({ exit: status }));
    shell.on('detached', () => end({ error: 'Another page took this shell.' }));
    shell.on('drain', () => ws.resume());
    ws.on('message', (data, isBinary) => {
      if (isBinary) return shell.write(data) || ws.pause();
      const { columns, rows } = parse(data);
      if (Number.isSafeInteger(columns) && Number.isSafeInteger(rows)) shell.resize(columns, rows);
    });
    ws.resume();
  } catch (error) {
    client?.destroy();
    end({ error: error.message });
  }
}

// The page's kept shell at the page's size, with its whole history so a fresh terminal shows
// the screen again; null when there is none to come back to (never kept, ended, or taken past
// its keep period), and the page gets a new shell instead. `history` is how many of the bytes
// that follow were printed before the page came back.
async function reattach(client, id, size) {
  if (!id || client.protocolVersion < 2) return null;
  const listed = (await client.listShells()).find((shell) => shell.id === id.toLowerCase());
  if (!listed) return null;
  try {
    const shell = await client.attachShell(listed.id, { from: null, ...size });
    return { shell, history: Math.max(0, listed.produced - shell.offset) };
  } catch (error) {
    if (error.code === 'EATTACH') return null;
    throw error;
  }
}

function parse(text) {
  try {
    return JSON.parse(text) ?? {};
  } catch {
    return {};
  }
}

// A request's address, or null when its target is no address at all: "GET http://[" would
// otherwise throw out of the handler and take the server down for everyone.
function addressOf(request) {
  try {
    return new URL(request.url, 'http://localhost');
  } catch {
    return null;
  }
}

// The token's length is no secret, only its characters are, and those are compared in constant
// time so that answers' timing tells nothing about how much of a guess was right.
function sameToken(given, token) {
  const guess = Buffer.from(given ?? '');
  const expected = Buffer.from(token);
  return guess.length === expected.length && crypto.timingSafeEqual(guess, expected);
}

export async function startServer({ port = 8022, host = '127.0.0.1', clientOptions = {}, shell, keep = 60 } = {}) {
  // 256 random bits made at each start, so no earlier run's address opens anything.
  const token = crypto.randomBytes(32).toString('base64url');
  const carriesToken = (address) => address !== null && sameToken(address.searchParams.get('token'), token);
  const server = http.createServer((request, response) => {
    const address = addressOf(request);
    const file = request.method === 'GET' && address && files[address.pathname];
    if (!file) return response.writeHead(404).end();
    // The page holds no secret, but opened without the token it could only fail to get a shell;
    // saying why here is clearer than a terminal that reports a lost connection.
    if (address.pathname === '/' && !carriesToken(address)) {
      response.writeHead(401, { 'content-type': 'text/plain; charset=utf-8' });
      return response.end('Open the address the web terminal printed when it started: it carries the token.\n');
    }
    // The page's own address carries the token: no link followed from it may pass that on.
    response.writeHead(200, { 'content-type': file[1], 'referrer-policy': 'no-referrer' });
    fs.createReadStream(file[0]).pipe(response);
  });
  // The token is what opens a shell: any local program can reach this port and send whatever
  // Origin and Host it likes. Those are checked as well because they keep out another site's
  // script in the user's own browser, even one whose name was repointed at a loopback address.
  const sameOrigin = ({ origin, req }) =>
    /^(127\.0\.0\.1|localhost|\[::1\]):\d+$/.test(req.headers.host) && origin === `http://${req.headers.host}`;
  const verifyClient = (info, done) => {
    if (!carriesToken(addressOf(info.req))) return done(false, 401);
    if (!sameOrigin(info)) return done(false, 403);
    done(true);
  };
  const wss = new WebSocketServer({ server, path: '/pty', verifyClient });
  wss.on('connection', (ws, request) => bridge(ws, request, { clientOptions, shell, keep }));
  await new Promise((resolve, reject) => server.once('error', reject).listen(port, host, resolve));
  return {
    url: `http://${host}:${server.address().port}/?token=${token}`,
    close: () => new Promise((resolve) => {
      for (const ws of wss.clients) ws.terminate();
      wss.close();
      server.close(resolve);
    }),
  };
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const clientOptions = process.env.VELTRO_AGENT ? { agentPath: path.resolve(process.env.VELTRO_AGENT) } : {};
  const { url } = await startServer({
    port: Number(process.env.PORT ?? 8022),
    clientOptions,
    shell: process.env.VELTRO_SHELL,
    keep: Number(process.env.KEEP ?? 60),
  });
  // The one place the token is shown: whoever reads it may open a shell as this user.
  console.log(`Web terminal at ${url}`);
}
