// A sheet followed through its life in a real browser: today's history frames lead to it, each
// button of the action bar opens its form, filled in, until the sheet is verified; then it is
// renamed and copied. What each commit stores is the end-to-end tests'; here the links and forms.
import assert from 'node:assert/strict';
import path from 'node:path';
import { test } from 'node:test';

import { choose, createDemoSheet, output, submit, useSite, withBrowser } from './common.mjs';

const site = useSite('quorb-lifecycle-');

// Follows the action bar's button CMD, fills the form, sends it and waits for the sheet.
async function act(page, cmd, fill) {
  await page.click(`a[href*="CMD=${cmd}&Num=Di20.00001"]`);
  await page.waitForSelector(`form input[name=CMD][value=${cmd}]`, { state: 'attached' });
  await fill();
  await submit(page);
  await page.waitForSelector('h1:has-text("Di20.00001")');
}

test('a sheet goes from New to Verified through the action bar, then is renamed and copied', () =>
  withBrowser(async ({ page }) => {
    await createDemoSheet(page, site.base, 'Lifecycle', 'Goes the whole way.\n');
    // The history frameset: today in the left frame lists the sheet in the right one, whose
    // link shows the sheet there.
    const today = new Date().toLocaleDateString('sv').replaceAll('-', '/');
    await page.goto(`${site.base}/cgi-bin/quorb.cgi?CMD=history`);
    const hist = page.frameLocator('frame[name=HIST]');
    await page.frameLocator('frame[name=LEFT]').locator(`a:has-text("${today}")`).click();
    const row = hist.locator('tr', { hasText: 'Di20.00001' });
    assert.match(await row.textContent(), /Di20\.00001\s+Submitted by kolvar/);
    await row.locator('a[href*="Num=Di20.00001"]').click();
    await hist.locator('a[href*="CMD=Assign&Num=Di20.00001"]').waitFor();
    await page.screenshot({ path: path.join(output, 'history.png'), fullPage: true });

    await page.goto(`${site.base}/cgi-bin/quorb.cgi?Num=Di20.00001`);
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
    const log = (await page.textContent('pre')).replace(/\d{4}\/\d\d\/\d\d:\d\d\.\d\d\.\d\d /g, '');
    assert.equal(log.trimEnd(), ['Submitted by kolvar', 'Assigned to tessin by kolvar',
      'Opened, responsible tessin, by tessin', 'Corrected by tessin in version 2.0',
      'Verifier kolvar designated by tessin', 'Verified by kolvar in version 1.1'].join('\n'));
    const body = (await page.textContent('body')).replace(/\u00a0/g, ' ');
    assert.ok(body.includes('Status : Verified') && body.includes('Checked on 1.1.'), 'the texts show');

    // A title with markup shows as typed; the copy is a new sheet carrying it.
    await act(page, 'Change_Header', () => page.fill('input[name=title]', 'New "title" <b>'));
    await page.click('a[href*="CMD=Copy&Num=Di20.00001"]');
    await submit(page);
    await page.waitForSelector('h1:has-text("Copy made from Di20.00001")');
    assert.match(await page.textContent('body'), /Di20\.00002\s[^]*Title : New "title" <b>/);
    await page.screenshot({ path: path.join(output, 'copy.png'), fullPage: true });
  }));
