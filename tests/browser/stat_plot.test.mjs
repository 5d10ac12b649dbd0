// The statistics plot pages draw their charts in a real browser: the page embeds the old
// APPLET element and the StatPlot script, which fetches the data page and draws the curves in
// the legend's colours. Run by run.sh (QUORB_CGI, QUORB_BROWSER_OUTPUT).
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, test } from 'node:test';

import { launchBrowser, output, useSite } from './common.mjs';

// 29 days of DEMO's totals up to yesterday, each field changing from day to day: statuses
// N Obs A O, C V NB NR P D Ab, the loads, the active ones by severity, four more.
function statisticsFile() {
  return Array.from({ length: 29 }, (_, j) => {
    const day = new Date();
    day.setDate(day.getDate() - 29 + j);
    day.setHours(23, 0, 0, 0);
    const k = j + 1;
    return [Math.floor(day / 1000), 5 + (k % 7), 2 + (k % 3), 1 + (k % 4), k % 2, k, k >> 1, 1, 0, 0, 2, 1,
      4 * k, 3 * k, 1 + (k % 2), 2 + (k % 3), 3 + (k % 4), 1, 0, 0, 0, 0].join(' ') + '\n';
  }).join('');
}

let browser;  // { context, close }
const site = useSite('quorb-plot-', '', {
  setUp: async ({ root }) => {
    fs.writeFileSync(path.join(root, 'data/Stats/DEMO.TOTAL'), statisticsFile());
    browser = await launchBrowser();
  },
});
after(async () => { await browser?.close(); });

async function drawnPlot(statS, weeks, screenshot) {
  const page = await browser.context.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  try {
    await page.goto(`${site.base}/cgi-bin/quorb.cgi?CMD=statS&statS=${statS}&project=DEMO&group=TOTAL&Week=${weeks}`);
    await page.waitForSelector('svg.statplot[data-points], svg.statplot[data-error]');
    const drawn = await page.$eval('svg.statplot', (svg) => ({
      error: svg.getAttribute('data-error'),
      points: Number(svg.getAttribute('data-points')),
      width: svg.getBoundingClientRect().width,
      height: svg.getBoundingClientRect().height,
      curves: [...svg.querySelectorAll('polyline.curve')].map((p) => ({
        colour: p.getAttribute('stroke'),
        dash: p.getAttribute('stroke-dasharray'),
        points: p.getAttribute('points').trim().split(/\s+/).map((xy) => xy.split(',').map(Number)),
      })),
      labels: svg.querySelectorAll('text').length,
      title: svg.querySelector('title')?.textContent ?? '',
      legend: [...document.querySelectorAll('font[color]')].map((f) => f.textContent.trim()),
      afterApplet: svg.previousElementSibling?.tagName,
    }));
    await page.screenshot({ path: path.join(output, screenshot), fullPage: true });
    assert.deepEqual(errors, []);
    return drawn;
  } finally {
    await page.close();
  }
}

test('the daily change plot draws its two curves over the chosen weeks', async () => {
  const drawn = await drawnPlot(5, 4, 'stat_plot_change.png');
  assert.equal(drawn.error, null);
  assert.equal(drawn.afterApplet, 'APPLET');
  assert.equal(drawn.points, 29);  // four weeks and today
  assert.equal(drawn.width, 600);
  assert.equal(drawn.height, 400);
  assert.deepEqual(drawn.curves.map((c) => c.colour), ['RED', 'GREEN']);
  // Told apart without colour: each curve its own pattern, shown in the legend and named in
  // the chart's title, which a screen reader reads.
  assert.deepEqual(drawn.curves.map((c) => c.dash), ['none', '8 4']);
  assert.ok(drawn.legend.includes('\u2014\u2014') && drawn.legend.includes('\u2013 \u2013'), drawn.legend.join('|'));
  assert.match(drawn.title, /\(solid line\).*\(dashed line\)/);
  for (const curve of drawn.curves) {
    assert.equal(curve.points.length, 29);
    assert.ok(curve.points.every(([x, y]) => x >= 0 && x <= 600 && y >= 0 && y <= 400));
    // Not a flat line: the data change from day to day.
    assert.ok(new Set(curve.points.map(([, y]) => y)).size > 1);
  }
  assert.ok(drawn.labels > 5, 'the axes are labelled');
});

test('the severity plot stacks four curves in the legend colours', async () => {
  const drawn = await drawnPlot(9, 2, 'stat_plot_severity.png');
  assert.equal(drawn.error, null);
  assert.equal(drawn.points, 15);
  assert.deepEqual(drawn.curves.map((c) => c.colour), ['RED', '#FFAA33', '#FFFF33', 'GREEN']);
  // Stacked: every curve lies on or above the one before it (smaller y is higher).
  for (let k = 1; k < 4; k++) {
    drawn.curves[k].points.forEach(([, y], i) => assert.ok(y <= drawn.curves[k - 1].points[i][1]));
  }
});
