// A 5 MB binary file, NUL bytes and CR LF pairs inside and a CR LF at its end, goes up through
// the Attach form of a real browser and comes back through the sheet's link byte for byte.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { test } from 'node:test';

import { kDemoChoices, output, submit, useSite, withBrowser } from './common.mjs';

const site = useSite('quorb-attach-');

// Random bytes with runs of NULs, CR LF pairs and boundary-like dashes laid in, ending in CR LF.
function binaryFile() {
  const bytes = crypto.randomBytes(5 * 1024 * 1024);
  for (let at = 1000; at + 64 < bytes.length; at += 65536) {
    bytes.fill(0, at, at + 8);
    bytes.write('\r\n--\r\n\r\n', at + 16, 'latin1');
  }
  bytes.write('\r\n', bytes.length - 2, 'latin1');
  return bytes;
}

test('a 5 MB binary attachment comes back byte for byte', () => withBrowser(async ({ page }) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorb-upload-'));
  try {
    const sent = binaryFile();
    const file = path.join(dir, 'dump.bin');
    fs.writeFileSync(file, sent);
    await page.request.post(`${site.base}/cgi-bin/quorb.cgi`,
      { form: { CMD: 'new', project: 'DEMO', title: 'Crash dump', text: 'Body.', ...kDemoChoices } });
    await page.goto(`${site.base}/cgi-bin/quorb.cgi?Num=Di20.00001`);
    await page.click('a[href*="CMD=Attach&Num=Di20.00001"]');
    await page.fill('input[name=title]', 'Dump');
    await page.selectOption('select[name=User]', 'tessin');
    await page.setInputFiles('input[name=Attach]', file);
    await submit(page);
    await page.waitForSelector('h1:has-text("Di20.00001")');
    // The page a stored attachment leads to is the sheet; the download below checks the size.
    await page.screenshot({ path: path.join(output, 'attachment.png'), fullPage: true });

    const link = page.locator('a[href*="CMD=FILE"]', { hasText: 'Dump' });
    const [download] = await Promise.all([page.waitForEvent('download'), link.click()]);
    assert.equal(download.suggestedFilename(), 'Dump_dump.bin');
    const got = fs.readFileSync(await download.path());
    assert.ok(got.equals(sent), 'the downloaded bytes are the uploaded ones');
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}));
