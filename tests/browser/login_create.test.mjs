// A member logs in with security on and creates a fact sheet, in a real browser; a wrong
// password gets error 513 and no cookie. Run by run.sh, which sets QUORB_CGI (the built CGI)
// and QUORB_BROWSER_OUTPUT (where the screenshots go).
import assert from 'node:assert/strict';
import path from 'node:path';
import { test } from 'node:test';

import { choose, kDemoChoices, logIn, output, submit, useSite, withBrowser } from './common.mjs';

const site = useSite('quorb-browser-', 'SECURITY YES\n');  // logins on

// Every image of the page arrived and decoded.
async function assertImagesShow(page) {
  const broken = await page.$$eval('img', (imgs) =>
    imgs.filter((i) => !i.complete || i.naturalWidth === 0).map((i) => i.src));
  assert.deepEqual(broken, []);
}

async function quorbCookie(context) {
  return (await context.cookies()).find((c) => c.name === 'quorb');
}

test('a member logs in and creates a sheet in another project', () => withBrowser(async ({ context, page }) => {
  const { base } = site;
  // No token and no cookie: the page's cookie check sends the browser to the login form; the
  // check page stores the cookie and posts the token back: the home page with the menu.
  await logIn(page, base);
  const create = page.locator('a[href*="CMD=create"]');
  assert.equal(await page.title(), 'QUORB');
  const cookie = await quorbCookie(context);
  assert.ok(cookie, 'the quorb cookie is set');
  const uid = decodeURIComponent(cookie.value);
  // kolvar and DEMO, each byte + 2, the time, and the MAC of all that.
  assert.match(uid, /^mqnxct#FGOQ#\d+#[0-9a-f]{16}$/);
  assert.equal(await create.getAttribute('href'),
    `/cgi-bin/quorb.cgi?CMD=create&Uid=${encodeURIComponent(uid).replace(/%20/g, '+')}`);
  await page.screenshot({ path: path.join(output, 'home.png'), fullPage: true });

  // The creation form through the menu's link; choosing a project in the drop-down sends it
  // back for that project with what was typed.
  await create.click();
  const title = 'The login button does nothing';
  const text = 'Pressing Login on the start page has no effect.\nNone at all.';
  await page.fill('input[name=title]', title);
  await page.fill('textarea[name=text]', text);
  await page.fill('input[name=mdapda]', 'CR-7');
  await Promise.all([page.waitForLoadState('load'),
    page.selectOption('select[name=Deroulant]', { label: 'DEMO' })]);
  await page.waitForSelector('select[name=group] option:has-text("client")', { state: 'attached' });
  assert.deepEqual(await Promise.all(['input[name=project]', 'input[name=title]', 'textarea[name=text]',
    'input[name=mdapda]'].map((s) => page.inputValue(s))), ['DEMO', title, text, 'CR-7']);
  await choose(page, kDemoChoices);
  await page.screenshot({ path: path.join(output, 'create_form.png'), fullPage: true });
  await submit(page);

  // The new sheet: project code D, phase letter i, sub-project code 20, number 1.
  await page.waitForSelector('h1:has-text("Di20.00001")');
  const body = await page.textContent('body');
  assert.ok(body.includes(title), 'the title shows on the page');
  await assertImagesShow(page);
  await page.screenshot({ path: path.join(output, 'sheet_created.png'), fullPage: true });

  // The house icon leads back home; the cookie alone lets the page through.
  await page.click('a[href="?"]');
  await page.locator('a[href*="CMD=create"]').waitFor();
  assert.equal(await page.title(), 'QUORB');

  // The way out: the logout link empties the cookie and ends on the login form.
  await page.click('a[href$="?Login=0"]');
  await page.waitForURL(/\?Login=1$/);
  assert.equal(await quorbCookie(context), undefined);
  await page.goto(`${base}/`);
  await page.waitForURL(/\?Login=1$/);
}));

test('a wrong password gets error 513 and no cookie', () => withBrowser(async ({ context, page }) => {
  await logIn(page, site.base, 'not-the-password');
  await page.waitForSelector('text=Wrong login or password.');
  assert.equal(await page.title(), 'QUORB Login2');
  // The way back to the login form.
  await Promise.all([page.waitForLoadState('load'), page.click('a:has-text("Back to the login page")')]);
  await page.waitForURL(/\?Login=1$/);
  assert.equal(await quorbCookie(context), undefined);
  await page.screenshot({ path: path.join(output, 'wrong_password.png'), fullPage: true });
}));

test('a login auto-posted by a page of another site changes nothing', () => withBrowser(async ({ context, page }) => {
  // A page of no origin of this site posts the right password as soon as it loads.
  await page.setContent(`<form method="POST" action="${site.base}/cgi-bin/quorb.cgi">
    <input name="Login" value="2"><input name="User" value="kolvar">
    <input name="Passwd" value="kolvar"></form><script>document.forms[0].submit()</script>`);
  await page.waitForURL(/\/cgi-bin\/quorb\.cgi$/);
  await page.waitForSelector('text=Wrong login or password.');
  assert.equal(await quorbCookie(context), undefined);
  assert.equal(await page.locator('input[name=Uid]').count(), 0);
}));
