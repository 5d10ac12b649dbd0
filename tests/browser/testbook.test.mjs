// The test book navigator in a real browser: a module, a step in it and a test in the step,
// each through its New button and form, then found again by the navigator.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { output, submit, useSite, withBrowser } from './common.mjs';

const site = useSite('quorb-book-');

test('a module, a step and a test are created through the navigator', () => withBrowser(async ({ page }) => {
  // Follows the New button whose link carries book=FORM, fills the form, sends it and
  // goes back to the navigator by the page's arrow.
  const create = async (form, done, fields) => {
    await page.click(`a[href*="&book=${form}"]:has(img[alt=New])`);
    for (const [name, value] of Object.entries(fields)) await page.fill(`[name=${name}]`, value);
    await submit(page);
    await page.waitForSelector(done);
    assert.equal(await page.locator('text=Error').count(), 0, `${done}: no error`);
    await page.click('a:has(img[src$="larrow.gif"])');
    await page.waitForSelector('text=Contents');
  };
  await page.goto(`${site.base}/cgi-bin/quorb.cgi?CMD=book&project=DEMO&group=client&phase=c`);
  await create(3, 'h1:has-text("Module created")', { title: 'Login page', mod: 'M1', text: 'Logging in.' });
  assert.equal(await page.inputValue('select:has(option[value=M1])'), 'M1');
  await create(5, 'h1:has-text("Step created")', { title: 'Wrong password', step: 'S1', text: 'Refused.' });
  await create(7, 'text=Three wrong passwords', {
    title: 'Three wrong passwords', ref: 'REF-1', obj: 'Locks the account.',
    steps: 'Type a wrong password three times.', exp: 'The account is locked.',
  });
  await page.screenshot({ path: path.join(output, 'testbook.png'), fullPage: true });
  const book = path.join(site.root, 'data/Tests/DEMO/20/i/Book');
  assert.deepEqual(fs.readdirSync(book).sort(), ['mod.M1', 'step.M1.S1', 'test.M1.S1.000']);
  assert.match(fs.readFileSync(path.join(book, 'test.M1.S1.000'), 'latin1'), /The account is locked/);
  // The navigator lists the three, the new test chosen.
  for (const [item, value] of [['mod', 'M1'], ['step', 'S1'], ['test', '000']]) {
    assert.equal(await page.inputValue(`select:has(option[value="${value}"])`), value, item);
  }
}));

test('five verdicts of a campaign are recorded in one submit', () => withBrowser(async ({ page }) => {
  const cgi = `${site.base}/cgi-bin/quorb.cgi`;
  const place = 'CMD=book&project=DEMO&group=client&phase=2&mod=V1';
  const post = async (form) => {
    const answer = await page.request.post(cgi, { form });
    assert.ok(answer.ok(), `${JSON.stringify(form)}: ${answer.status()}`);
  };
  const fields = (query) => Object.fromEntries(new URLSearchParams(query));
  await post(fields(`${place}&book=4&title=Verdicts`));
  await post(fields(`${place}&book=6&step=S1&title=Five`));
  for (let i = 0; i < 6; ++i) await post(fields(`${place}&book=8&step=S1&title=Check ${i}&submitter=kolvar`));
  await post(fields('CMD=tests&project=DEMO&group=client&phase=2&book=27&camp=run'));

  await page.goto(`${cgi}?CMD=tests&project=DEMO&group=client&phase=c&camp=run`);
  await Promise.all([page.waitForEvent('load'), page.click('a[href*="&book=32"]')]);
  let loads = 0;
  page.on('load', () => { loads += 1; });
  const verdicts = { '000': 'OK', '001': 'NOK', '002': 'OK', '004': 'NA', '005': 'OK' };
  for (const [test, verdict] of Object.entries(verdicts)) {
    await page.selectOption(`select[aria-label="Verdict V1.S1.${test}"]`, String(['NOK', 'OK', 'NT', 'NA'].indexOf(verdict)));
  }
  await page.selectOption('select[name=submitter]', 'kolvar');
  await page.selectOption('select[name=version]', '1.0');
  // The page the submit loads, not the one already there.
  await Promise.all([page.waitForEvent('load'), page.locator('form input[type=submit]').first().click()]);
  assert.equal(loads, 1, 'one page for five verdicts');
  const run = path.join(site.root, 'data/Tests/DEMO/20/i/Book/test/C.run');
  assert.deepEqual(fs.readdirSync(run).sort(), Object.keys(verdicts).map((t) => `V1.S1.${t}`));
  for (const [test, verdict] of Object.entries(verdicts)) {
    assert.match(fs.readFileSync(path.join(run, `V1.S1.${test}`), 'latin1'), new RegExp(` Test Created by kolvar \\(${verdict}\\)\n`));
    assert.equal(await page.inputValue(`select[aria-label="Verdict V1.S1.${test}"]`), String(['NOK', 'OK', 'NT', 'NA'].indexOf(verdict)));
  }
  assert.equal(await page.inputValue('select[aria-label="Verdict V1.S1.003"]'), '2');
}));
