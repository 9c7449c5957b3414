import assert from 'node:assert/strict';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import { after, test } from 'node:test';
import { connect, runtimeFolder, RuntimeFolderError, socketPath } from '../src/index.js';
import { privateFolder } from './support.js';

const root = privateFolder();
after(() => fs.rmSync(root, { recursive: true, force: true }));
const withMode = (mode, owner = process.getuid()) => (folder) => {
  fs.mkdirSync(folder);
  fs.chmodSync(folder, mode);
  fs.chownSync(folder, owner, process.getgid());
};

test('a runtime folder that others could tamper with is refused, naming it and why', async (t) => {
  const cases = [
    ['a symbolic link', (folder) => fs.symlinkSync(root, folder), /symbolic link/],
    ['open to everyone', withMode(0o755), /group or others .*mode 0755/],
    ['a file', (folder) => fs.writeFileSync(folder, ''), /not a folder/],
    ['missing', () => {}, /no such file or directory/i],
  ];
  if (process.getuid() === 0) cases.push(['owned by another user', withMode(0o700, 65534), /owned by user 65534, not by user 0/]);
  for (const [name, create, reason] of cases) {
    await t.test(name, async () => {
      const folder = `${root}/${name.replaceAll(' ', '-')}`;
      create(folder);
      const refusal = (error) =>
        error instanceof RuntimeFolderError && error.code === 'ERUNTIMEFOLDER' && error.folder === folder &&
        reason.test(error.reason) && error.message.includes(folder);
      assert.throws(() => runtimeFolder({ env: { XDG_RUNTIME_DIR: folder } }), refusal);
      await assert.rejects(connect({ env: { XDG_RUNTIME_DIR: folder } }), refusal);
    });
  }
});

test('the socket is named after the service, in a private folder when XDG_RUNTIME_DIR is not absolute', () => {
  for (const env of [{}, { XDG_RUNTIME_DIR: 'relative/run' }]) {
    const folder = runtimeFolder({ env, temporaryRoot: root });
    assert.equal(folder, `${root}/tech.morvane.veltro-${process.getuid()}`);
    assert.equal(fs.statSync(folder).mode & 0o777, 0o700);
  }
  const env = { XDG_RUNTIME_DIR: root };
  assert.equal(socketPath({ env }), `${root}/KQ7310ZV4M.tech.morvane.veltro.terminal-helper`);
  assert.equal(socketPath({ env, development: true }), `${root}/KQ7310ZV4M.tech.morvane.veltro.dev.terminal-helper`);
});

test('a CommonJS program can require() the package and gets the same classes', () => {
  const required = createRequire(import.meta.url)('@veltro/terminal-client');
  assert.equal(required.RuntimeFolderError, RuntimeFolderError);
  assert.equal(typeof required.connect, 'function');
});
