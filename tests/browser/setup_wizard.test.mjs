// A fresh installation set up end to end through the setup wizard in a real browser, then a
// fact sheet created with the files the wizard wrote. Run by run.sh (QUORB_CGI, QUORB_BROWSER_OUTPUT).
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { chromium } from 'playwright-core';

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const cgi = process.env.QUORB_CGI ?? path.join(repo, 'build/quorb.cgi');
const output = process.env.QUORB_BROWSER_OUTPUT ?? path.join(repo, 'build/browser-output');

let root;
let server;
let base;
let profile;

function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.on('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

async function waitForPort(port, ms) {
  const deadline = Date.now() + ms;
  for (;;) {
    const up = await new Promise((resolve) => {
      const socket = net.connect(port, '127.0.0.1', () => { socket.end(); resolve(true); });
      socket.on('error', () => resolve(false));
    });
    if (up) return;
    if (server.exitCode !== null) throw new Error(`lighttpd exited with ${server.exitCode}`);
    if (Date.now() > deadline) throw new Error(`lighttpd did not listen on ${port}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

before(async () => {
  fs.mkdirSync(output, { recursive: true });
  root = fs.mkdtempSync(path.join(os.tmpdir(), 'quorb-wizard-'));
  const port = await freePort();
  // Server, language files and folders only: no quorb.cfg, the wizard writes it.
  execFileSync('bash', [path.join(repo, 'scripts/lay-out-demo.sh'), root, String(port), cgi],
    { env: { ...process.env, QUORB_LAYOUT_BARE: '1' } });
  assert.ok(!fs.existsSync(path.join(root, 'config/quorb.cfg')));
  server = spawn('lighttpd', ['-D', '-f', path.join(root, 'lighttpd.conf')],
    { stdio: ['ignore', 'inherit', 'inherit'] });
  base = `http://127.0.0.1:${port}`;
  await waitForPort(port, 5000);
});

after(async () => {
  if (server && server.exitCode === null) {
    const exited = new Promise((r) => server.once('exit', r));
    server.kill('SIGTERM');
    await exited;
  }
  if (profile) fs.rmSync(profile, { recursive: true, force: true });
  if (root && !process.env.QUORB_KEEP_TEST_DIRS) fs.rmSync(root, { recursive: true, force: true });
});

async function submit(page, selector = 'form input[type=submit]') {
  await Promise.all([page.waitForLoadState('load'), page.locator(selector).first().click()]);
}

test('the wizard installs a fresh site and a sheet is created with its files', async () => {
  profile = fs.mkdtempSync(path.join(os.tmpdir(), 'quorb-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium', headless: true, viewport: { width: 1024, height: 900 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  context.setDefaultTimeout(10000);
  const page = context.pages()[0] ?? await context.newPage();
  try {
    await page.goto(`${base}/`);
    assert.equal(await page.title(), 'Setup');
    assert.equal(await page.inputValue('input[name=data]'), `${root}/data/`);
    await page.fill('input[name=mel]', '127.0.0.1:1');
    await page.screenshot({ path: path.join(output, 'wizard_start.png'), fullPage: true });
    await submit(page);
    await page.waitForSelector('text=Default Setup Completed');
    await page.screenshot({ path: path.join(output, 'wizard_installed.png'), fullPage: true });
    await submit(page);

    // Steps 2 to 10: projects, sub-projects, programs, phases, versions, deadlines, impacts,
    // members, mail; each page's submit saves it and shows the next.
    for (let step = 3; step <= 11; ++step) {
      await submit(page);
      const next = page.locator('input[name=Wizzard]');
      if (step < 11) assert.equal(await next.first().inputValue(), String(step + 1));
      if (step === 10) await page.screenshot({ path: path.join(output, 'wizard_mail.png'), fullPage: true });
    }
    const users = fs.readFileSync(path.join(root, 'config/TEST_users.cfg'), 'latin1');
    assert.match(users, /^kolvar:kolvar@localhost: :YES:YES:YES:YES:YES:YES:YES\n$/);
    assert.ok(!fs.existsSync(path.join(root, 'config/users.cfg')), 'the template went to TEST');
    await submit(page, 'input[value=Next]');

    // Home, then a sheet of TEST with the wizard's sub-project, program, phase and version.
    const create = page.locator('a[href*="CMD=create"]');
    await create.waitFor();
    await create.click();
    await page.waitForSelector('select[name=Deroulant]');
    await page.selectOption('select[name=Deroulant]', { label: 'TEST' });
    await page.waitForURL(/CMD=create&project=TEST(&Uid=|$)/);
    assert.equal(await page.inputValue('input[name=project]'), 'TEST');
    await page.fill('input[name=title]', 'Made after the wizard');
    await page.selectOption('select[name=group]', { label: 'phase 1' });
    await page.selectOption('select[name=prog]', { label: 'install' });
    await page.selectOption('select[name=sev]', '2');
    await page.selectOption('select[name=impact]', 'a');
    await page.selectOption('select[name=phase]', 'b');  // developpement, letter D
    await page.selectOption('select[name=version]', { label: 'v1' });
    await page.selectOption('select[name=submitter]', 'kolvar');
    await page.fill('textarea[name=text]', 'A sheet on a site the wizard laid out.\n');
    await submit(page);
    await page.waitForSelector('h1:has-text("TD10.00001")');
    await page.screenshot({ path: path.join(output, 'wizard_sheet.png'), fullPage: true });
    assert.ok(fs.readFileSync(path.join(root, 'data/TD10.00001'), 'latin1').includes('Made after the wizard'));
  } finally {
    await context.close();
  }
});
