// What the browser tests share: a fresh installation served by lighttpd on a free loopback
// port, and Chromium with a fresh profile. run.sh sets QUORB_CGI and QUORB_BROWSER_OUTPUT.
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { after, before } from 'node:test';
import { fileURLToPath } from 'node:url';

import { chromium } from 'playwright-core';

export const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const cgi = process.env.QUORB_CGI ?? path.join(repo, 'build/quorb.cgi');
export const output = process.env.QUORB_BROWSER_OUTPUT ?? path.join(repo, 'build/browser-output');

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

async function waitForPort(server, port, ms) {
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

// Chromium with a fresh profile (removed on close); extra flags such as --lang=ja.
export async function launchBrowser(extraArgs = []) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'quorb-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', ...extraArgs],
    viewport: { width: 1024, height: 900 },
  });
  context.setDefaultTimeout(10000);
  const page = context.pages()[0] ?? await context.newPage();
  const close = async () => {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return { context, page, close };
}

// Serves a fresh demo installation (config lines appended to quorb.cfg; a `bare` one has no
// quorb.cfg yet, so the setup wizard answers) to the tests of a file: the returned object gets
// { root, base, stop } and is given to `setUp` before they run; the site is stopped after them.
export function useSite(prefix, extraConfig = '', { setUp, bare = false } = {}) {
  const site = {};
  before(async () => {
    fs.mkdirSync(output, { recursive: true });
    const root = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
    const port = await freePort();
    execFileSync('bash', [path.join(repo, 'scripts/lay-out-demo.sh'), root, String(port), cgi],
      bare ? { env: { ...process.env, QUORB_LAYOUT_BARE: '1' } } : {});
    // No mail relay or mailbox to wait for (connections are refused at once).
    if (!bare) {
      fs.appendFileSync(path.join(root, 'config/quorb.cfg'),
        `MAILSERV 127.0.0.1:1\nPOP3 127.0.0.1:1\n${extraConfig}`);
    }
    const server = spawn('lighttpd', ['-D', '-f', path.join(root, 'lighttpd.conf')],
      { stdio: ['ignore', 'inherit', 'inherit'] });
    await waitForPort(server, port, 5000);
    site.stop = async () => {
      if (server.exitCode === null) {
        const exited = new Promise((r) => server.once('exit', r));
        server.kill('SIGTERM');
        await exited;
      }
      if (!process.env.QUORB_KEEP_TEST_DIRS) fs.rmSync(root, { recursive: true, force: true });
    };
    Object.assign(site, { root, base: `http://127.0.0.1:${port}` });
    await setUp?.(site);
  });
  after(async () => { await site.stop?.(); });
  return site;
}

// Runs `fn` with a fresh browser ({ context, page }), closed however `fn` ends.
export async function withBrowser(fn, extraArgs = []) {
  const browser = await launchBrowser(extraArgs);
  try {
    return await fn(browser);
  } finally {
    await browser.close();
  }
}

// Logs kolvar in through the login form that a request without token or cookie is sent to;
// with the right password, waits for the home page's menu.
export async function logIn(page, base, password = 'kolvar') {
  await page.goto(`${base}/`);
  await page.waitForURL(/\/cgi-bin\/quorb\.cgi\?Login=1$/);
  assert.equal(await page.title(), 'QUORB Login');
  await page.fill('input[name=User]', 'kolvar');
  await page.fill('input[name=Passwd]', password);
  await page.click('input[type=submit]');
  if (password === 'kolvar') await page.locator('a[href*="CMD=create"]').waitFor();
}

// Clicks a submit button (the first that matches) and waits for the page it loads.
export async function submit(page, selector = 'form input[type=submit]') {
  await Promise.all([page.waitForLoadState('load'), page.locator(selector).first().click()]);
}

// Chooses in the form's drop-downs: { name: value, or { index }, or { label } }.
export async function choose(page, choices) {
  for (const [name, value] of Object.entries(choices)) await page.selectOption(`select[name=${name}]`, value);
}

// The drop-downs of a DEMO sheet (phase c: integration_usine, letter i).
export const kDemoChoices = {
  group: 'client', prog: 'web', sev: '2', impact: 'b', phase: 'c', version: '1.0', submitter: 'kolvar',
};

// Fills the creation form of a DEMO sheet and stores it (the first is Di20.00001).
export async function createDemoSheet(page, base, title, text, name = 'Di20.00001') {
  await page.goto(`${base}/cgi-bin/quorb.cgi?CMD=create&project=DEMO`);
  await page.fill('input[name=title]', title);
  await choose(page, kDemoChoices);
  await page.fill('textarea[name=text]', text);
  await submit(page);
  await page.waitForSelector(`h1:has-text("${name}")`);
}
