// The pages of a day's work for every reader (with the test book's forms, every setup page and
// the wizard of a fresh site): the accessibility checker axe-core finds no violation of WCAG
// level A or AA at 1024 and at 375 px, and no page scrolls sideways on a phone; a project is
// chosen from the keyboard; an accented attachment name downloads unchanged and a picture opens
// in the browser. Run by run.sh (QUORB_CGI, QUORB_BROWSER_OUTPUT).
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';

import { createDemoSheet, kDemoChoices, output, submit, useSite, withBrowser } from './common.mjs';

const site = useSite('quorb-reader-');
// A site without its main configuration file, for the first-run setup page (the wizard).
const bare = useSite('quorb-reader-bare-', '', { bare: true });
const axeSource = fs.readFileSync(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');
const script = '/cgi-bin/quorb.cgi';

// The A and AA violations of the page shown, as "rule: first element (count)".
async function violations(page) {
  await page.addScriptTag({ content: axeSource });
  return page.evaluate(async () => {
    const result = await window.axe.run(document, {
      runOnly: { type: 'tag', values: ['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa'] },
    });
    return result.violations.map((v) => `${v.id}: ${v.nodes[0]?.target.join(' ')} (${v.nodes.length})`);
  });
}

test('the pages of a day have no A or AA violation and fit a phone', () => withBrowser(async ({ page }) => {
  await createDemoSheet(page, site.base, 'Readable', 'See http://example.org/a?b=1 and Di20.00001.\n'
    + 'A long paragraph of words that must wrap on a small screen rather than push the page '
    + 'sideways, as every reader of a phone expects of any page of text.\n');
  const sheet = (cmd) => `?CMD=${cmd}&Num=Di20.00001`;
  const place = 'project=DEMO&group=client&phase=c';
  // A book of one test and a campaign over it, for the campaign's pages.
  const book = 'project=DEMO&group=client&phase=2&mod=R1&step=S1';
  for (const query of [`CMD=book&${book}&book=4&title=Reading`, `CMD=book&${book}&book=6&title=Steps`,
    `CMD=book&${book}&book=8&title=Read it&submitter=kolvar`, `CMD=tests&${book}&book=27&camp=walk`]) {
    assert.ok((await page.request.post(`${site.base}${script}`, { form: Object.fromEntries(new URLSearchParams(query)) })).ok());
  }
  const pages = [
    '', '?CMD=create&project=DEMO', '?Num=Di20.00001', '?CMD=search&project=DEMO',
    '?CMD=find&project=DEMO&statN=X&sort=0', '?CMD=find&project=DEMO&statN=X&sort=0&aff_list=AL',
    '?Login=1', '?CMD=history', '?CMD=history&text=PAGE', '?CMD=help', '?CMD=setup',
    '?CMD=statS&statS=0&project=DEMO', '?CMD=statS&statS=5&project=DEMO&group=TOTAL&Week=4',
    `?CMD=book&${place}`, `?CMD=tests&${place}`, `?CMD=tests&${place}&camp=walk&book=32`,
    ...[3, 5, 7, 9, 11].map((n) => `?CMD=book&${book}&book=${n}`),
    ...[26, 28, 29].map((n) => `?CMD=tests&${book}&book=${n}&camp=walk&test=001`),
    ...Array.from({ length: 11 }, (_, i) => `?CMD=setup&Edit=${i + 1}&project=DEMO`),
    ...['Attach', 'Assign', 'Analyse', 'Corrected', 'Postpone', 'Duplicate', 'Change_Header', 'Copy']
      .map(sheet), `${sheet('Edit')}&Edit=0`,
  ];
  const found = [];
  const check = async (width, where) => {
    for (const v of await violations(page)) found.push(`${width} ${where}: ${v}`);
    const scroll = await page.evaluate(() => document.documentElement.scrollWidth);
    if (scroll > width) found.push(`${width} ${where}: ${scroll} px wide`);
  };
  for (const width of [1024, 375]) {
    await page.setViewportSize({ width, height: 800 });
    for (const query of pages) {
      await page.goto(`${site.base}${script}${query}`);
      await check(width, query);
    }
  }
  // The wizard of a site without its main file, page after page: the directories, the files
  // made, then the projects, sub-projects, programs, phases, versions, deadlines, impacts,
  // members and mail, and the last word.
  await page.goto(`${bare.base}/`);
  await page.fill('input[name=mel]', '127.0.0.1:1');
  for (let step = 1; step <= 12; ++step) {
    for (const width of [1024, 375]) {
      await page.setViewportSize({ width, height: 800 });
      await check(width, `wizard page ${step}`);
    }
    // Checked once the next page has loaded, not while it loads.
    if (step < 12) await Promise.all([page.waitForEvent('load'), page.locator('form input[type=submit]').first().click()]);
  }
  assert.ok(await page.locator('input[value=Next]').count());
  await page.goto(`${site.base}${script}?Num=Di20.00001`);
  await page.screenshot({ path: path.join(output, 'reader_sheet_375.png'), fullPage: true });
  assert.deepEqual(found, []);
  // The entry's address and sheet name are links.
  assert.equal(await page.locator('a[href="http://example.org/a?b=1"]').count(), 1);
  assert.equal(await page.locator(`a[href="${script}?Num=Di20.00001"]`).count(), 1);
}));

test('the project list is chosen from the keyboard without reloading on each key', () =>
  withBrowser(async ({ page }) => {
    await page.goto(`${site.base}${script}?CMD=create&project=DEMO`);
    const list = page.locator('select[name=Deroulant]');
    await list.focus();
    let loads = 0;
    page.on('load', () => { loads += 1; });
    await page.keyboard.press('ArrowUp');
    await page.keyboard.press('ArrowDown');
    await page.waitForTimeout(300);
    assert.equal(loads, 0, 'arrow keys move through the projects');
    assert.equal(await page.evaluate(() => document.activeElement.name), 'Deroulant');
    await Promise.all([page.waitForEvent('load'), page.keyboard.press('Enter')]);
    assert.equal(loads, 1, 'Enter loads the form of the project chosen');
  }));

test('an accented attachment name downloads unchanged and a picture opens inline', () =>
  withBrowser(async ({ page }) => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorb-names-'));
    try {
      const created = await page.request.post(`${site.base}${script}`,
        { form: { CMD: 'new', project: 'DEMO', title: 'Names', text: 'Body.', ...kDemoChoices } });
      const sheet = new URL(created.url()).searchParams.get('Done');
      const name = "Rapport d'essai été 2026 – écran.txt";
      const picture = Buffer.from('iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQAAAABJRU5ErkJggg==', 'base64');
      fs.writeFileSync(path.join(dir, name), 'report');
      fs.writeFileSync(path.join(dir, 'screen.png'), picture);
      for (const [title, file] of [['Report', name], ['Screen', 'screen.png']]) {
        await page.goto(`${site.base}${script}?CMD=Attach&Num=${sheet}`);
        await page.fill('input[name=title]', title);
        await page.selectOption('select[name=User]', 'kolvar');
        await page.setInputFiles('input[name=Attach]', path.join(dir, file));
        await submit(page);
        await page.waitForSelector(`h1:has-text("${sheet}")`);
      }
      const report = page.locator('a[href*="CMD=FILE"]', { hasText: 'Report' });
      const [download] = await Promise.all([page.waitForEvent('download'), report.click()]);
      assert.equal(download.suggestedFilename(), `Report_${name}`);
      const screen = await page.locator('a[href*="CMD=FILE"]', { hasText: 'Screen' }).getAttribute('href');
      const shown = await page.goto(new URL(screen, page.url()).href);
      assert.equal(shown.headers()['content-type'], 'image/png');
      assert.equal(await page.evaluate(() => document.images[0]?.naturalWidth), 1);
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  }));
