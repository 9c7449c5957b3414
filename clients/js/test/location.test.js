import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, test } from 'node:test';
import { connect, runtimeFolder, socketPath } from '../src/index.js';
import { limit, privateFolder } from './agent.js';

const root = privateFolder();
after(() => fs.rmSync(root, { recursive: true, force: true }));
const make = (name, create) => {
  const folder = path.join(root, name);
  create(folder);
  return folder;
};
const withMode = (mode) => (folder) => {
  fs.mkdirSync(folder);
  fs.chmodSync(folder, mode);
};

test('a runtime folder that others could tamper with is refused, naming it and why', limit, async (t) => {
  const cases = [
    ['a symbolic link', (f) => fs.symlinkSync(make('link-target', withMode(0o700)), f), /symbolic link/],
    ['open to everyone', withMode(0o755), /group or others .*mode 0755/],
    ['open to the group', withMode(0o710), /mode 0710/],
    ['a file', (f) => fs.writeFileSync(f, ''), /not a folder/],
    ['missing', () => {}, /no such file or directory/i],
  ];
  if (process.getuid() === 0) {
    const foreign = (f) => {
      withMode(0o700)(f);
      fs.chownSync(f, 65534, 0);
    };
    cases.push(['owned by another user', foreign, /owned by user 65534, not by user 0/]);
  }
  for (const [name, create, reason] of cases) {
    await t.test(name, async () => {
      const folder = make(name.replaceAll(' ', '-'), create);
      const expected = (error) => error.name === 'RuntimeFolderError' && error.folder === folder &&
        reason.test(error.reason) && error.message.includes(folder);
      const env = { XDG_RUNTIME_DIR: folder };
      assert.throws(() => runtimeFolder({ env }), expected);
      await assert.rejects(connect({ env }), expected);
    });
  }
});

test('without an absolute XDG_RUNTIME_DIR, a private folder is made under the temporary root', limit, () => {
  for (const env of [{}, { XDG_RUNTIME_DIR: 'relative/run' }]) {
    const folder = runtimeFolder({ env, temporaryRoot: root });
    assert.equal(folder, `${root}/tech.morvane.veltro-${process.getuid()}`);
    assert.equal(fs.statSync(folder).mode & 0o777, 0o700);
  }
});

test('the socket is named after the release or the development service', limit, () => {
  const env = { XDG_RUNTIME_DIR: root };
  assert.equal(socketPath({ env }), `${root}/KQ7310ZV4M.tech.morvane.veltro.terminal-helper`);
  assert.equal(socketPath({ env, development: true }), `${root}/KQ7310ZV4M.tech.morvane.veltro.dev.terminal-helper`);
});
