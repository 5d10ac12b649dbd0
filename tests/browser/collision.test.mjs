// Two people, one sheet, in two real browsers: both open the header change; the first to save
// is stored, the second is refused with its choices kept and the first one's change listed,
// and stored once sent again; sending that form back once more stores nothing twice.
import assert from 'node:assert/strict';
import path from 'node:path';
import { test } from 'node:test';

import { choose, createDemoSheet, output, submit, useSite, withBrowser } from './common.mjs';

const site = useSite('quorb-collision-');

test('two browsers changing one sheet never lose a change silently', () =>
  withBrowser(async (a) => withBrowser(async (b) => {
    await createDemoSheet(a.page, site.base, 'Shared', 'Two people.\n');
    const form = `${site.base}/cgi-bin/quorb.cgi?CMD=Change_Header&Num=Di20.00001`;
    await a.page.goto(form);
    await b.page.goto(form);

    await a.page.fill('input[name=title]', 'Title from A');
    await choose(a.page, { User: 'kolvar' });
    await submit(a.page);
    await a.page.waitForSelector('h1:has-text("Header changed for Di20.00001")');

    await choose(b.page, { sev: '1', User: 'tessin' });
    await submit(b.page);
    await b.page.waitForSelector('text=changed by someone else');
    const refused = await b.page.textContent('body');
    assert.match(refused, /changed by someone else/);
    assert.match(refused, /Header changed by kolvar/);
    assert.equal(await b.page.inputValue('select[name=sev]'), '1', 'the choice stays');
    await b.page.screenshot({ path: path.join(output, 'collision_refused.png'), fullPage: true });

    // B reads the change, keeps A's title and sends the form again: both changes are stored.
    await b.page.fill('input[name=title]', 'Title from A');
    await submit(b.page);
    await b.page.waitForSelector('h1:has-text("Header changed for Di20.00001")');
    const body = (await b.page.textContent('body')).replace(/\u00a0/g, ' ');
    assert.ok(body.includes('Title : Title from A'), 'A\'s title is kept');
    assert.match(body, /Severity : Critical/);

    // Back to the refused form and sent again: the same form is not stored twice.
    await b.page.goBack();
    await submit(b.page);
    await b.page.waitForSelector('text=already stored as Di20.00001');
  })));
