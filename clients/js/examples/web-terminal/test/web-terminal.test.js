import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { after, before, test } from 'node:test';
import WebSocket from 'ws';
import { connect } from '../../../src/index.js';
import { agentPath, limit, privateFolder, startAgent, waitFor } from '../../../test/support.js';
import { startServer } from '../server.js';

const chromium = process.env.CHROMIUM ?? '/usr/bin/chromium';
let agent, server, agentVersion;
before(async () => {
  agent = await startAgent();
  server = await startServer({ port: 0, clientOptions: { env: agent.env }, shell: '/bin/sh' });
  const client = await connect({ env: agent.env });
  agentVersion = client.protocolVersion;
  await client.close();
});
after(async () => {
  await server?.close();
  await agent?.stop();
});

async function openPage(t) {
  if (!fs.existsSync(chromium)) return t.skip(`no Chromium at ${chromium} (apt-get install chromium)`);
  const { default: puppeteer } = await import('puppeteer-core');
  const browser = await puppeteer.launch({ executablePath: chromium, args: ['--no-sandbox', '--disable-gpu', '--disable-quic'] });
  t.after(() => browser.close());
  const page = await browser.newPage();
  await page.setViewport({ width: 900, height: 500 });
  await page.goto(server.url);
  await page.waitForFunction(() => window.term);
  const screenShows = (text) => page.waitForFunction((needle) => {
    const buffer = term.buffer.active;
    return Array.from({ length: buffer.length }, (_, i) => buffer.getLine(i).translateToString(true)).join('\n').includes(needle);
  }, {}, text);
  // A whole line, so that the command's own echo does not pass for what it printed.
  const lineShows = (text) => page.waitForFunction((line) => {
    const buffer = term.buffer.active;
    return Array.from({ length: buffer.length }, (_, i) => buffer.getLine(i).translateToString(true)).includes(line);
  }, {}, text);
  return { page, screenShows, lineShows };
}

test('a page types into its own shell, follows its window size, shows a failed command and the exit', limit, async (t) => {
  const { page, screenShows } = (await openPage(t)) ?? {};
  if (!page) return;
  await page.keyboard.type('echo hello-$((6*7))\n');
  await screenShows('hello-42');

  const columnsBefore = await page.evaluate(() => term.cols);
  await page.setViewport({ width: 700, height: 360 });
  await page.waitForFunction((columns) => term.cols !== columns, {}, columnsBefore);
  const [columns, rows] = await page.evaluate(() => [term.cols, term.rows]);
  await page.keyboard.type('stty size\n');
  await screenShows(`${rows} ${columns}`);

  if (agentVersion >= 2) {
    await page.keyboard.type(String.raw`printf '\033]133;C\007\033]133;D;3\007'` + '\n');
    await page.waitForFunction(() => !document.getElementById('status').hidden);
    assert.equal(await page.evaluate(() => document.getElementById('status').textContent), 'exit 3');
    await page.keyboard.type(String.raw`printf '\033]133;C\007\033]133;D;0\007'` + '\n');
    await page.waitForFunction(() => document.getElementById('status').hidden);
  }
  await page.keyboard.type('exit 7\n');
  await screenShows('[shell exited with code 7]');
});

test('a reloaded page gets its shell back, screen and process, and a new one once that exited', limit, async (t) => {
  if (agentVersion < 2) return t.skip(`the agent at ${agentPath} speaks protocol ${agentVersion}; keeping a shell needs 2`);
  const { page, screenShows, lineShows } = (await openPage(t)) ?? {};
  if (!page) return;
  await page.waitForFunction(() => window.shell);
  await page.keyboard.type('echo before-reload\n');
  await lineShows('before-reload');
  const { pid } = await page.evaluate(() => window.shell);

  await page.reload();
  await page.waitForFunction(() => window.shell);
  await lineShows('before-reload');
  assert.equal((await page.evaluate(() => window.shell)).pid, pid);
  await page.keyboard.type('echo after-$$\n');
  await screenShows(`after-${pid}`);

  await page.keyboard.type('exit 3\n');
  await screenShows('[shell exited with code 3]');
  await page.reload();
  await page.waitForFunction(() => window.shell);
  assert.notEqual((await page.evaluate(() => window.shell)).pid, pid);
});

// What asking for the shell's WebSocket got: 101 when it opened, otherwise the refusal's status.
function upgrade(address, origin) {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(address, { origin });
    ws.on('error', reject);
    ws.once('open', () => {
      resolve(101);
      ws.close();
    });
    ws.once('unexpected-response', (request, response) => {
      resolve(response.statusCode);
      request.destroy();
    });
  });
}

test('without its token no program gets a shell, and the agent is never asked', limit, async (t) => {
  // A stand-in agent that only counts who knocks: any contact at all is a shell that could follow.
  const folder = privateFolder();
  const socketPath = path.join(folder, 'agent');
  const knocks = [];
  const agentStandIn = net.createServer((socket) => {
    knocks.push(socket);
    socket.destroy();
  });
  await new Promise((resolve) => agentStandIn.listen(socketPath, resolve));
  const guarded = await startServer({ port: 0, clientOptions: { socketPath }, shell: '/bin/sh' });
  t.after(async () => {
    await guarded.close();
    agentStandIn.close();
    fs.rmSync(folder, { recursive: true, force: true });
  });

  const page = new URL(guarded.url);
  const token = page.searchParams.get('token');
  assert.notEqual(token, new URL(server.url).searchParams.get('token'), 'each server makes its own token');
  const shellAddress = (given) => {
    const address = new URL('/pty?columns=80&rows=24', page);
    address.protocol = 'ws:';
    if (given !== undefined) address.searchParams.set('token', given);
    return address;
  };
  const offByOne = (token[0] === 'A' ? 'B' : 'A') + token.slice(1);
  for (const [what, address, origin, status] of [
    ['no token', shellAddress(), page.origin, 401],
    ['an empty token', shellAddress(''), page.origin, 401],
    ['a token one character off', shellAddress(offByOne), page.origin, 401],
    ['the token and more', shellAddress(`${token}A`), page.origin, 401],
    ['the token from another site', shellAddress(token), 'http://example.com', 403],
  ]) {
    assert.equal(await upgrade(address, origin), status, what);
  }
  assert.equal(knocks.length, 0, 'a refused client reached the agent');

  // The same server does open for its token, and only then asks the agent.
  assert.equal(await upgrade(shellAddress(token), page.origin), 101);
  await waitFor('the agent to be asked', () => knocks.length === 1);
});

test('the page is served only with the token, and a target that is no address is not found', limit, async () => {
  const page = new URL(server.url);
  assert.equal((await fetch(new URL('/', page))).status, 401);
  assert.equal((await fetch(page)).status, 200);

  const answer = await new Promise((resolve, reject) => {
    let text = '';
    net.connect(Number(page.port), page.hostname)
      .on('connect', function () {
        this.end('GET http://[ HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n');
      })
      .on('data', (data) => (text += data))
      .on('end', () => resolve(text))
      .on('error', reject);
  });
  assert.match(answer, /^HTTP\/1\.1 404 /);
  assert.equal((await fetch(page)).status, 200, 'the server went on');
});
