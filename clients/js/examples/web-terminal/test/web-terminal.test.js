import fs from 'node:fs';
import { after, before, test } from 'node:test';
import { limit, startAgent } from '../../../test/support.js';
import { startServer } from '../server.js';

const chromium = process.env.CHROMIUM ?? '/usr/bin/chromium';
let agent, server;
before(async () => {
  agent = await startAgent();
  server = await startServer({ port: 0, clientOptions: { env: agent.env }, shell: '/bin/sh' });
});
after(async () => {
  await server?.close();
  await agent?.stop();
});

test('a page types into its own shell, follows its window size and shows the exit', limit, async (t) => {
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
  await page.keyboard.type('echo hello-$((6*7))\n');
  await screenShows('hello-42');

  const columnsBefore = await page.evaluate(() => term.cols);
  await page.setViewport({ width: 700, height: 360 });
  await page.waitForFunction((columns) => term.cols !== columns, {}, columnsBefore);
  const [columns, rows] = await page.evaluate(() => [term.cols, term.rows]);
  await page.keyboard.type('stty size\n');
  await screenShows(`${rows} ${columns}`);

  await page.keyboard.type('exit 7\n');
  await screenShows('[shell exited with code 7]');
});
