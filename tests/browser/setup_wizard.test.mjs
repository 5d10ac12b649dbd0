// A fresh installation set up end to end through the setup wizard in a real browser, then a
// fact sheet created with the files the wizard wrote. Run by run.sh (QUORB_CGI, QUORB_BROWSER_OUTPUT).
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { choose, output, submit, useSite, withBrowser } from './common.mjs';

// Server, language files and folders only: no quorb.cfg, the wizard writes it.
const site = useSite('quorb-wizard-', '', { bare: true });

test('the wizard installs a fresh site and a sheet is created with its files', () => withBrowser(async ({ page }) => {
  const { root, base } = site;
  assert.ok(!fs.existsSync(path.join(root, 'config/quorb.cfg')));
  await page.goto(`${base}/`);
  assert.equal(await page.title(), 'Setup');
  assert.equal(await page.inputValue('input[name=data]'), `${root}/data/`);
  await page.fill('input[name=mel]', '127.0.0.1:1');
  await page.screenshot({ path: path.join(output, 'wizard_start.png'), fullPage: true });
  await submit(page);
  await page.waitForSelector('text=Default Setup Completed');
  await page.screenshot({ path: path.join(output, 'wizard_installed.png'), fullPage: true });
  await submit(page);

  // Steps 2 to 10: projects, sub-projects, programs, phases, versions, deadlines, impacts,
  // members, mail; each page's submit saves it and shows the next.
  for (let step = 3; step <= 11; ++step) {
    await submit(page);
    const next = page.locator('input[name=Wizzard]');
    if (step < 11) assert.equal(await next.first().inputValue(), String(step + 1));
    if (step === 10) await page.screenshot({ path: path.join(output, 'wizard_mail.png'), fullPage: true });
  }
  const users = fs.readFileSync(path.join(root, 'config/TEST_users.cfg'), 'latin1');
  // The member's line, and when it and its password last changed.
  assert.match(users, /^kolvar:kolvar@localhost: :YES:YES:YES:YES:YES:YES:YES\n#changed kolvar \d+ \d+\n$/);
  assert.ok(!fs.existsSync(path.join(root, 'config/users.cfg')), 'the template went to TEST');
  await submit(page, 'input[value=Next]');

  // Home, then a sheet of TEST with the wizard's sub-project, program, phase and version.
  const create = page.locator('a[href*="CMD=create"]');
  await create.waitFor();
  await create.click();
  // The form goes back with what was typed and the project chosen (security off here).
  await page.fill('input[name=title]', 'Made after the wizard');
  await page.selectOption('select[name=Deroulant]', { label: 'TEST' });
  await page.waitForFunction(() => document.querySelector('input[name=project]')?.value === 'TEST');
  assert.equal(await page.inputValue('input[name=title]'), 'Made after the wizard');
  await choose(page, { group: { label: 'phase 1' }, prog: { label: 'install' }, sev: '2', impact: 'a',
    phase: 'b', version: { label: 'v1' }, submitter: 'kolvar' });  // phase b: developpement, letter D
  await page.fill('textarea[name=text]', 'A sheet on a site the wizard laid out.\n');
  await submit(page);
  await page.waitForSelector('h1:has-text("TD10.00001")');
  await page.screenshot({ path: path.join(output, 'wizard_sheet.png'), fullPage: true });
  assert.ok(fs.readFileSync(path.join(root, 'data/TD10.00001'), 'latin1').includes('Made after the wizard'));
}));
