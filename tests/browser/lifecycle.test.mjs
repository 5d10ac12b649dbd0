// A sheet followed through its life in a real browser: each button of the action bar, its
// form filled in, until the sheet is verified with every step logged.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { choose, createDemoSheet, output, submit, useSite, withBrowser } from './common.mjs';

const site = useSite('quorb-lifecycle-');

// Follows the action bar's button CMD, fills the form, sends it and waits for the sheet.
async function act(page, cmd, fill) {
  await page.click(`a[href*="CMD=${cmd}&Num=Di20.00001"]`);
  await page.waitForSelector(`form input[name=CMD][value=${cmd}]`, { state: 'attached' });
  await fill();
  await submit(page, 'form input[type=submit]');
  await page.waitForSelector('h1:has-text("Di20.00001")');
}

test('a sheet goes from New to Verified through the action bar', () => withBrowser(async ({ page }) => {
  await createDemoSheet(page, site.base, 'Lifecycle', 'Goes the whole way.\n');

  await act(page, 'Assign', () => choose(page, { submitter: 'tessin', User: 'kolvar' }));
  await act(page, 'Open', () => choose(page, { submitter: 'tessin', User: 'tessin' }));
  await act(page, 'Corrected', async () => {
    await choose(page, { version: '2.0', User: 'tessin' });  // planned, not delivered
    await page.fill('textarea[name=text]', 'Fixed the loop.\n');
  });
  await act(page, 'For_Verification', () => choose(page, { submitter: 'kolvar', User: 'tessin' }));
  await act(page, 'Verified', async () => {
    await choose(page, { version: '1.1', User: 'kolvar' });
    await page.fill('input[name=test]', 'T-42');
    await page.fill('textarea[name=text]', 'Checked on 1.1.\n');
  });

  await page.screenshot({ path: path.join(output, 'lifecycle_verified.png'), fullPage: true });
  assert.match(await page.textContent('body'), /Status : Verified/);
  const log = (await page.textContent('pre')).trimEnd().split('\n')
    .map((line) => line.replace(/^\d{4}\/\d\d\/\d\d:\d\d\.\d\d\.\d\d /, ''));
  assert.deepEqual(log, [
    'Submitted by kolvar',
    'Assigned to tessin by kolvar',
    'Opened, responsible tessin, by tessin',
    'Corrected by tessin in version 2.0',
    'Verifier kolvar designated by tessin',
    'Verified by kolvar in version 1.1',
  ]);
  const body = (await page.textContent('body')).replace(/\u00a0/g, ' ');
  assert.ok(body.includes('Fixed the loop.') && body.includes('Checked on 1.1.'), 'the texts show');
  assert.ok(fs.readFileSync(path.join(site.root, 'data/index'), 'latin1').includes('Lifecycle'));
}));
