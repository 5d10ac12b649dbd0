// The search form in a real browser: choosing every project in the drop-down sends the form
// back with what was ticked, the ALL box ticks every status, and a drop-down left on its empty
// first option is no criterion, in an English browser and in a Japanese one (whose default
// page encoding is not Latin-1); a title typed into the creation form is stored as Latin-1 bytes.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { createDemoSheet, output, submit, useSite, withBrowser } from './common.mjs';

const site = useSite('quorb-search-');

const kTitle = 'Grüße';

// Searches every project for the title with the program and version lists on their empty options.
async function searchFinds(page, shot) {
  await page.goto(`${site.base}/cgi-bin/quorb.cgi?CMD=search&project=DEMO`);
  await page.check('input[name=aff_crit]');
  await Promise.all([page.waitForURL(/CMD=search&/), page.selectOption('select[name=Deroulant]', { index: 0 })]);
  assert.equal(await page.inputValue('input[name=project]'), '');
  assert.ok(await page.isChecked('input[name=aff_crit]'), 'the display option kept');
  await page.check('input[name=ALL]');
  await page.selectOption('select[name=prog]', { index: 0 });
  await page.selectOption('select[name=version]', { index: 0 });
  await page.fill('input[name=intitle]', kTitle);
  await submit(page, 'input[type=submit][value=Search]');
  await page.waitForSelector('text=fact sheet(s) found');
  await page.screenshot({ path: path.join(output, shot), fullPage: true });
  const body = await page.textContent('body');
  assert.match(body, /1 fact sheet\(s\) found/);
  assert.ok(body.includes(kTitle), 'the title shows as typed');
}

test('a Japanese browser stores a Latin-1 title and finds it with empty options', () =>
  withBrowser(async ({ page }) => {
    await createDemoSheet(page, site.base, kTitle, 'Straße\n');
    const stored = fs.readFileSync(path.join(site.root, 'data/Di20.00001'));
    assert.ok(stored.includes(Buffer.from([0x47, 0x72, 0xfc, 0xdf, 0x65])), 'Grüße in Latin-1');
    assert.ok(!stored.includes(Buffer.from('Grü', 'utf8')), 'no UTF-8 bytes');
    await searchFinds(page, 'search_ja.png');
  }, ['--lang=ja']));

test('an English browser finds the sheet with empty options', () =>
  withBrowser(({ page }) => searchFinds(page, 'search_en.png')));
