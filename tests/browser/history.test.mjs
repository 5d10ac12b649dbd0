// The history frameset in a real browser: today's day chosen in the left frame lists the
// day's actions in the right one, whose sheet link shows the sheet there.
import assert from 'node:assert/strict';
import path from 'node:path';
import { test } from 'node:test';

import { output, postDemoSheet, useSite, withBrowser } from './common.mjs';

const site = useSite('quorb-history-');

test('today in the history leads to the sheet created today', () => withBrowser(async ({ page }) => {
  await postDemoSheet(page, site.base, 'Seen in the history');
  const now = new Date();
  const today = [now.getFullYear(), now.getMonth() + 1, now.getDate()]
    .map((n) => String(n).padStart(2, '0')).join('/');
  await page.goto(`${site.base}/cgi-bin/quorb.cgi?CMD=history`);
  const left = page.frameLocator('frame[name=LEFT]');
  const hist = page.frameLocator('frame[name=HIST]');
  await left.locator(`a:has-text("${today}")`).click();
  await hist.locator(`h1:has-text("Actions of ${today}")`).waitFor();
  const row = hist.locator('tr', { hasText: 'Di20.00001' });
  assert.match(await row.textContent(), /Di20\.00001\s+Submitted by kolvar/);
  await row.locator('a[href*="Num=Di20.00001"]').click();
  await hist.locator('text=Title : Seen in the history').waitFor();
  await hist.locator('a[href*="CMD=Assign&Num=Di20.00001"]').waitFor();
  await page.screenshot({ path: path.join(output, 'history.png'), fullPage: true });
}));
