// A user's day in a real browser, with security off and on: what was typed survives a change
// of project, a reload after a creation or an action stores nothing twice, and a search over
// every project pages its sheets while its list stays complete.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { describe, test } from 'node:test';

import { choose, createDemoSheet, kDemoChoices, logIn, output, submit, useSite, withBrowser } from './common.mjs';

// Lines of a file that contain `text`.
function count(file, text) {
  return fs.readFileSync(file, 'latin1').split('\n').filter((l) => l.includes(text)).length;
}

for (const security of [false, true]) {
  describe(`security ${security ? 'on' : 'off'}`, () => {
    const site = useSite('quorb-day-', `PAGESIZE 2\n${security ? 'SECURITY YES\n' : ''}`);
    const data = (name) => path.join(site.root, 'data', name);

    test('typing survives a change of project; a reload stores nothing twice', () => withBrowser(async ({ page }) => {
      if (security) await logIn(page, site.base);
      await page.goto(`${site.base}/cgi-bin/quorb.cgi?CMD=create&project=TEST`);
      // The way home is on the form.
      assert.ok(await page.locator('img[src$="/home.gif"]').count() >= 1, 'home link');
      await page.fill('input[name=title]', 'Typed before the project');
      await page.fill('textarea[name=text]', 'A first line.\nA second line.');
      await page.fill('input[name=mdapda]', 'CR-7');
      await Promise.all([page.waitForLoadState('load'),
        page.selectOption('select[name=Deroulant]', { label: 'DEMO' })]);
      await page.waitForSelector('select[name=group] option:has-text("client")', { state: 'attached' });
      assert.equal(await page.inputValue('input[name=project]'), 'DEMO');
      assert.equal(await page.inputValue('input[name=title]'), 'Typed before the project');
      assert.equal(await page.inputValue('textarea[name=text]'), 'A first line.\nA second line.');
      assert.equal(await page.inputValue('input[name=mdapda]'), 'CR-7');

      await choose(page, kDemoChoices);
      await submit(page);
      await page.waitForSelector('h1:has-text("Di20.00001")');
      assert.match(page.url(), /CMD=new&Done=Di20\.00001/);
      await page.screenshot({ path: path.join(output, `day_created_${security}.png`), fullPage: true });
      await page.reload();
      await page.waitForSelector('h1:has-text("Di20.00001")');
      assert.ok(!fs.existsSync(data('Di20.00002')), 'no second sheet');
      assert.equal(count(data('index'), 'Typed before the project'), 1);

      // An action: its form has the way home; its commit leads to a page a reload only shows.
      await page.click('a[href*="CMD=Observed"]');
      await page.waitForSelector('select[name=submitter]');
      assert.ok(await page.locator('img[src$="/home.gif"]').count() >= 1, 'home link');
      await choose(page, { submitter: 'tessin', User: 'kolvar' });
      await submit(page);
      await page.waitForURL(/CMD=Observed&Num=Di20\.00001&Done=1/);
      await page.reload();
      await page.waitForLoadState('load');
      assert.equal(count(data('Di20.00001'), 'tessin'), 2,
        'the responsible and one log line, however often the page is reloaded');
    }));

    test('a search over every project pages its sheets', () => withBrowser(async ({ page }) => {
      if (security) await logIn(page, site.base);
      // Two more sheets in DEMO and one in TEST.
      for (const title of ['Second of DEMO', 'Third of DEMO'])
        await createDemoSheet(page, site.base, title, '', 'Di20.0000');
      await page.goto(`${site.base}/cgi-bin/quorb.cgi?CMD=create&project=TEST`);
      await page.fill('input[name=title]', 'One of TEST');
      const first = { index: 1 };
      await choose(page, { group: first, prog: first, sev: '3', impact: first, phase: first, version: first,
        submitter: 'kolvar' });
      await submit(page);
      await page.waitForSelector('h1:has-text("T")');

      // The empty project is every project, and stays chosen; what was chosen before stays.
      await page.goto(`${site.base}/cgi-bin/quorb.cgi?CMD=search&project=DEMO`);
      await page.check('input[name=aff_crit]');
      await Promise.all([page.waitForURL(/CMD=search&/),
        page.selectOption('select[name=Deroulant]', { index: 0 })]);
      await page.waitForSelector('select[name=Deroulant]');
      assert.equal(await page.inputValue('input[name=project]'), '');
      assert.equal(await page.$eval('select[name=Deroulant]', (s) => s.selectedIndex), 0);
      assert.ok(await page.isChecked('input[name=aff_crit]'), 'the display option kept');
      await page.check('input[name=ALL]');
      await submit(page, 'input[type=submit][value=Search]');
      await page.waitForSelector('text=fact sheet(s) found');
      const body = await page.textContent('body');
      assert.match(body, /4 fact sheet\(s\) found/);
      assert.ok(body.includes('One of TEST') && body.includes('Second of DEMO'), 'both projects');
      // Two sheets in full per page (their action bars), the list of all four above.
      assert.equal(await page.locator('a[href*="CMD=Observed"]').count(), 2);
      await page.screenshot({ path: path.join(output, `day_search_${security}.png`), fullPage: true });
      await Promise.all([page.waitForLoadState('load'), page.click('a:has-text("Next page")')]);
      assert.match(page.url(), /From=2/);
      assert.match(await page.textContent('body'), /4 fact sheet\(s\) found/);
      assert.equal(await page.locator('a[href*="CMD=Observed"]').count(), 2);
      await Promise.all([page.waitForLoadState('load'), page.click('a:has-text("Previous page")')]);
      assert.match(page.url(), /From=0/);
    }));
  });
}
