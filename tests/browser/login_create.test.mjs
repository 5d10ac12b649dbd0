// A member logs in with security on and creates a fact sheet, in a real browser; a wrong
// password gets error 513 and no cookie. Run by run.sh, which sets QUORB_CGI (the built CGI)
// and QUORB_BROWSER_OUTPUT (where the screenshots go).
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

const kChromiumArgs = [
  '--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
];

let root;    // the installation served
let server;  // the lighttpd process
let base;    // http://127.0.0.1:PORT
const scratch = [];  // browser profiles to remove

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

// A browser with a fresh profile; each case gets its own, so no cookie carries over.
async function launchBrowser() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'quorb-chromium-'));
  scratch.push(profile);
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: kChromiumArgs,
    viewport: { width: 1024, height: 900 },
  });
  context.setDefaultTimeout(10000);
  const page = context.pages()[0] ?? await context.newPage();
  return { context, page };
}

// Every image of the page arrived and decoded.
async function assertImagesShow(page) {
  const broken = await page.$$eval('img', (imgs) =>
    imgs.filter((i) => !i.complete || i.naturalWidth === 0).map((i) => i.src));
  assert.deepEqual(broken, []);
}

async function quorbCookie(context) {
  return (await context.cookies()).find((c) => c.name === 'quorb');
}

before(async () => {
  fs.mkdirSync(output, { recursive: true });
  root = fs.mkdtempSync(path.join(os.tmpdir(), 'quorb-browser-'));
  const port = await freePort();
  execFileSync('bash', [path.join(repo, 'scripts/lay-out-demo.sh'), root, String(port), cgi]);
  // Logins on; no mail relay or mailbox to wait for (connections are refused at once).
  fs.appendFileSync(path.join(root, 'config/quorb.cfg'),
    'SECURITY YES\nMAILSERV 127.0.0.1:1\nPOP3 127.0.0.1:1\n');
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
  for (const dir of scratch) fs.rmSync(dir, { recursive: true, force: true });
  if (root && !process.env.QUORB_KEEP_TEST_DIRS) fs.rmSync(root, { recursive: true, force: true });
});

test('a member logs in and creates a sheet in another project', async () => {
  const { context, page } = await launchBrowser();
  try {
    // No token and no cookie: the page's cookie check sends the browser to the login form.
    await page.goto(`${base}/`);
    await page.waitForURL(/\/cgi-bin\/quorb\.cgi\?Login=1$/);
    assert.equal(await page.title(), 'QUORB Login');
    await page.fill('input[name=User]', 'kolvar');
    await page.fill('input[name=Passwd]', 'kolvar');
    await page.click('input[type=submit]');

    // The check page stores the cookie and posts the token back: the home page with the menu.
    const create = page.locator('a[href*="CMD=create"]');
    await create.waitFor();
    assert.equal(await page.title(), 'QUORB');
    const cookie = await quorbCookie(context);
    assert.ok(cookie, 'the quorb cookie is set');
    const uid = decodeURIComponent(cookie.value);
    // kolvar and DEMO, each byte + 2, the time, and the MAC of all that.
    assert.match(uid, /^mqnxct#FGOQ#\d+#[0-9a-f]{16}$/);
    assert.equal(await create.getAttribute('href'),
      `/cgi-bin/quorb.cgi?CMD=create&Uid=${encodeURIComponent(uid).replace(/%20/g, '+')}`);
    await assertImagesShow(page);
    await page.screenshot({ path: path.join(output, 'home.png'), fullPage: true });

    // The creation form; choosing a project in the drop-down reloads it for that project.
    await create.click();
    await page.waitForSelector('select[name=Deroulant]');
    await page.selectOption('select[name=Deroulant]', { label: 'TEST' });
    await page.waitForURL(/CMD=create&project=TEST(&Uid=|$)/);
    assert.equal(await page.inputValue('input[name=project]'), 'TEST');
    await page.selectOption('select[name=Deroulant]', { label: 'DEMO' });
    await page.waitForURL(/CMD=create&project=DEMO(&Uid=|$)/);
    assert.equal(await page.inputValue('input[name=project]'), 'DEMO');
    const groups = await page.$$eval('select[name=group] option', (o) => o.map((x) => x.label.trim()));
    assert.ok(groups.includes('client') && groups.includes('server'), `sub-projects ${groups}`);

    const title = 'The login button does nothing';
    await page.fill('input[name=title]', title);
    await page.selectOption('select[name=group]', 'client');
    await page.selectOption('select[name=prog]', 'web');
    await page.selectOption('select[name=sev]', '2');
    await page.selectOption('select[name=impact]', 'b');
    await page.selectOption('select[name=phase]', 'c');  // integration_usine, letter i
    await page.selectOption('select[name=version]', '1.0');
    await page.selectOption('select[name=submitter]', 'kolvar');
    await page.fill('textarea[name=text]', 'Pressing Login on the start page has no effect.\n');
    await assertImagesShow(page);
    await page.screenshot({ path: path.join(output, 'create_form.png'), fullPage: true });
    await Promise.all([page.waitForLoadState('load'), page.click('form input[type=submit]')]);

    // The new sheet: project code D, phase letter i, sub-project code 20, number 1.
    await page.waitForSelector('h1:has-text("Di20.00001")');
    const body = await page.textContent('body');
    assert.ok(body.includes(title), 'the title shows on the page');
    await assertImagesShow(page);
    await page.screenshot({ path: path.join(output, 'sheet_created.png'), fullPage: true });
    const stored = fs.readFileSync(path.join(root, 'data/Di20.00001'), 'latin1');
    assert.ok(stored.includes(title), 'the sheet file holds the title');
    const index = fs.readFileSync(path.join(root, 'data/index'), 'latin1');
    assert.ok(index.includes(title) && index.includes('DEMO'), 'the index line is written');
    const journal = fs.readFileSync(path.join(root, 'data/history.dat'), 'latin1');
    assert.ok(journal.includes('Di20.00001'), 'the journal names the sheet');

    // The house icon leads back home; the cookie alone lets the page through.
    await page.click('a[href="?"]');
    await page.locator('a[href*="CMD=create"]').waitFor();
    assert.equal(await page.title(), 'QUORB');
  } finally {
    await context.close();
  }
});

test('a wrong password gets error 513 and no cookie', async () => {
  const { context, page } = await launchBrowser();
  try {
    await page.goto(`${base}/`);
    await page.waitForURL(/\?Login=1$/);
    await page.fill('input[name=User]', 'kolvar');
    await page.fill('input[name=Passwd]', 'not-the-password');
    await Promise.all([page.waitForLoadState('load'), page.click('input[type=submit]')]);
    await page.waitForSelector('text=Wrong login or password.');
    assert.equal(await page.title(), 'QUORB Login2');
    assert.equal(await quorbCookie(context), undefined);
    await page.screenshot({ path: path.join(output, 'wrong_password.png'), fullPage: true });
  } finally {
    await context.close();
  }
});
