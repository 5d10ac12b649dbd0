// A user's day in a real browser, with security off and on: what was typed survives a change
// of project, a reload after a creation or an action stores nothing twice, and a search over
// every project pages its sheets while its list stays complete.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import { launchBrowser, output, startSite, submit } from './common.mjs';

// Lines of a file that contain `text`.
function count(file, text) {
  return fs.readFileSync(file, 'latin1').split('\n').filter((l) => l.includes(text)).length;
}

async function logIn(page, base) {
  await page.goto(`${base}/`);
  await page.waitForURL(/\?Login=1$/);
  await page.fill('input[name=User]', 'kolvar');
  await page.fill('input[name=Passwd]', 'kolvar');
  await page.click('input[type=submit]');
  await page.locator('a[href*="CMD=create"]').waitFor();
}

// Fills the rest of the creation form for DEMO and stores it; returns the page's address.
async function finishDemoSheet(page) {
  await page.selectOption('select[name=group]', 'client');
  await page.selectOption('select[name=prog]', 'web');
  await page.selectOption('select[name=sev]', '2');
  await page.selectOption('select[name=impact]', 'b');
  await page.selectOption('select[name=phase]', 'c');
  await page.selectOption('select[name=version]', '1.0');
  await page.selectOption('select[name=submitter]', 'kolvar');
  await submit(page);
}

for (const security of [false, true]) {
  describe(`security ${security ? 'on' : 'off'}`, () => {
    let site;
    let data;
    before(async () => {
      site = await startSite('quorb-day-', `PAGESIZE 2\n${security ? 'SECURITY YES\n' : ''}`);
      data = path.join(site.root, 'data');
    });
    after(async () => { await site?.stop(); });

    test('typing survives a change of project; a reload stores nothing twice', async () => {
      const { page, close } = await launchBrowser();
      try {
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

        await finishDemoSheet(page);
        await page.waitForSelector('h1:has-text("Di20.00001")');
        assert.match(page.url(), /CMD=new&Done=Di20\.00001/);
        await page.screenshot({ path: path.join(output, `day_created_${security}.png`), fullPage: true });
        await page.reload();
        await page.waitForSelector('h1:has-text("Di20.00001")');
        assert.ok(!fs.existsSync(path.join(data, 'Di20.00002')), 'no second sheet');
        assert.equal(count(path.join(data, 'index'), 'Typed before the project'), 1);

        // An action: its form has the way home; its commit leads to a page a reload only shows.
        await page.click('a[href*="CMD=Observed"]');
        await page.waitForSelector('select[name=submitter]');
        assert.ok(await page.locator('img[src$="/home.gif"]').count() >= 1, 'home link');
        await page.selectOption('select[name=submitter]', 'tessin');
        await page.selectOption('select[name=User]', 'kolvar');
        await submit(page);
        await page.waitForURL(/CMD=Observed&Num=Di20\.00001&Done=1/);
        await page.reload();
        await page.waitForLoadState('load');
        assert.equal(count(path.join(data, 'Di20.00001'), 'tessin'), 2,
          'the responsible and one log line, however often the page is reloaded');
      } finally {
        await close();
      }
    });

    test('a search over every project pages its sheets', async () => {
      const { page, close } = await launchBrowser();
      try {
        if (security) await logIn(page, site.base);
        // Two more sheets in DEMO and one in TEST.
        for (const title of ['Second of DEMO', 'Third of DEMO']) {
          await page.goto(`${site.base}/cgi-bin/quorb.cgi?CMD=create&project=DEMO`);
          await page.fill('input[name=title]', title);
          await finishDemoSheet(page);
          await page.waitForSelector('h1:has-text("Di20.0000")');
        }
        await page.goto(`${site.base}/cgi-bin/quorb.cgi?CMD=create&project=TEST`);
        await page.fill('input[name=title]', 'One of TEST');
        await page.selectOption('select[name=group]', { index: 1 });
        await page.selectOption('select[name=prog]', { index: 1 });
        await page.selectOption('select[name=sev]', '3');
        await page.selectOption('select[name=impact]', { index: 1 });
        await page.selectOption('select[name=phase]', { index: 1 });
        await page.selectOption('select[name=version]', { index: 1 });
        await page.selectOption('select[name=submitter]', 'kolvar');
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
      } finally {
        await close();
      }
    });
  });
}
