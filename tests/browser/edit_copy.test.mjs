// Change_Header and Copy from the action bar in a real browser: the new title is stored and
// shown; the copy is a new sheet carrying it.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { output, postDemoSheet, submit, useSite, withBrowser } from './common.mjs';

const site = useSite('quorb-edit-');

test('a sheet is renamed through Change_Header and copied through Copy', () => withBrowser(async ({ page }) => {
  await postDemoSheet(page, site.base, 'Old title');
  await page.goto(`${site.base}/cgi-bin/quorb.cgi?Num=Di20.00001`);
  await page.click('a[href*="CMD=Change_Header&Num=Di20.00001"]');
  await page.fill('input[name=title]', 'New "title" <b>');
  await submit(page);
  await page.waitForSelector('h1:has-text("Di20.00001")');
  assert.ok((await page.textContent('body')).includes('Title : New "title" <b>'));
  const stored = fs.readFileSync(path.join(site.root, 'data/Di20.00001'), 'latin1');
  assert.ok(stored.includes('New "title" <b>') && !stored.includes('Old title'));

  await page.click('a[href*="CMD=Copy&Num=Di20.00001"]');
  await submit(page);
  await page.waitForSelector('h1:has-text("Copy made from Di20.00001")');
  await page.screenshot({ path: path.join(output, 'copy.png'), fullPage: true });
  const body = await page.textContent('body');
  assert.match(body, /Di20\.00002\s+\S+\s+Status : New/);
  assert.ok(body.includes('Title : New "title" <b>'), 'the copy shows the title');
  await page.locator('a[href*="CMD=Copy&Num=Di20.00002"]').waitFor();
  const copy = fs.readFileSync(path.join(site.root, 'data/Di20.00002'), 'latin1');
  assert.ok(copy.includes('New "title" <b>'), 'the copy has the title');
}));
