// StatPlot: draws the statistics plots in place of the old Java applet. For every APPLET
// element of the page it reads the parameters Base (the address of a data page) and CUMUL
// (stacked curves), fetches the data page (one line of numbers per day, the last one today)
// and draws an SVG chart of the applet's size. The curves take the colours of the page's
// legend: the "--" FONT elements after the APPLET element, in order; and each its own line
// pattern, which the legend then shows instead of the "--".
(function () {
  'use strict';

  var SVG = 'http://www.w3.org/2000/svg';
  var MARGIN = { left: 48, right: 16, top: 16, bottom: 36 };

  function param(applet, name) {
    var params = applet.getElementsByTagName('param');
    for (var i = 0; i < params.length; i++) {
      if ((params[i].getAttribute('name') || '').toLowerCase() === name.toLowerCase())
        return params[i].getAttribute('value');
    }
    return null;
  }

  // The legend entries that follow the applet: each "--" FONT element with its colour and the
  // text after it (the curve's name).
  function legend(applet) {
    var entries = [];
    var fonts = document.getElementsByTagName('font');
    for (var i = 0; i < fonts.length; i++) {
      var font = fonts[i];
      if (!(applet.compareDocumentPosition(font) & Node.DOCUMENT_POSITION_FOLLOWING)) continue;
      if (font.textContent.trim() !== '--' || !font.getAttribute('color')) continue;
      var after = font.nextSibling;
      var name = after && after.nodeType === Node.TEXT_NODE ? after.textContent.trim() : '';
      entries.push({ font: font, colour: font.getAttribute('color'), name: name });
    }
    return entries;
  }

  function legendColours(entries) {
    var colours = entries.map(function (e) { return e.colour; });
    return colours.length ? colours : ['red', 'green'];
  }

  // Curves differ by more than their colour: each has its own line pattern, which its legend
  // entry shows too, and which the chart's title names.
  var PATTERNS = [
    { dash: '', mark: '\u2014\u2014', name: 'solid line' },
    { dash: '8 4', mark: '\u2013 \u2013', name: 'dashed line' },
    { dash: '2 3', mark: '\u00b7\u00b7\u00b7\u00b7', name: 'dotted line' },
    { dash: '10 3 2 3', mark: '\u2014\u00b7\u2014', name: 'dash-dot line' },
  ];

  function showPatterns(entries) {
    entries.forEach(function (e, k) {
      e.font.textContent = PATTERNS[k % PATTERNS.length].mark;
    });
  }

  function chartTitle(entries) {
    var names = entries.map(function (e, k) {
      return (e.name || 'curve ' + (k + 1)) + ' (' + PATTERNS[k % PATTERNS.length].name + ')';
    });
    return document.title + (names.length ? ': ' + names.join(', ') : '');
  }

  // The data page is asked of the server that served this page, whatever host the
  // address names.
  function dataAddress(base) {
    try {
      var url = new URL(base, window.location.href);
      return url.pathname + url.search;
    } catch (e) {
      return base;
    }
  }

  function parseRows(text) {
    var rows = [];
    text.split('\n').forEach(function (line) {
      var words = line.trim().split(/\s+/).filter(function (w) { return w !== ''; });
      if (!words.length) return;
      var numbers = words.map(Number);
      if (numbers.some(isNaN)) return;
      rows.push(numbers);
    });
    return rows;
  }

  // The curves: for stacked plots every column added to those before it; otherwise the first
  // and the last column (the middle ones are placeholders).
  function curves(rows, stacked, count) {
    var width = rows.reduce(function (w, r) { return Math.max(w, r.length); }, 0);
    var columns = [];
    if (stacked) {
      for (var c = 0; c < Math.min(width, count); c++) columns.push(c);
    } else {
      columns.push(0);
      if (width > 1) columns.push(width - 1);
    }
    return columns.map(function (column, k) {
      return rows.map(function (row) {
        var value = 0;
        if (stacked) {
          for (var j = 0; j <= k; j++) value += row[columns[j]] || 0;
        } else {
          value = row[column] || 0;
        }
        return value;
      });
    });
  }

  function niceStep(range) {
    var rough = range / 5;
    var power = Math.pow(10, Math.floor(Math.log10(rough)));
    var steps = [1, 2, 5, 10];
    for (var i = 0; i < steps.length; i++) {
      if (steps[i] * power >= rough) return steps[i] * power;
    }
    return 10 * power;
  }

  function element(name, attributes, parent) {
    var node = document.createElementNS(SVG, name);
    Object.keys(attributes).forEach(function (key) { node.setAttribute(key, attributes[key]); });
    if (parent) parent.appendChild(node);
    return node;
  }

  function text(parent, x, y, content, anchor) {
    var node = element('text', { x: x, y: y, 'font-size': 11, 'font-family': 'sans-serif',
      'text-anchor': anchor || 'middle', fill: '#333' }, parent);
    node.textContent = content;
    return node;
  }

  function dayLabel(daysAgo) {
    var day = new Date(Date.now() - daysAgo * 86400000);
    var dd = String(day.getDate()).padStart(2, '0');
    var mm = String(day.getMonth() + 1).padStart(2, '0');
    return dd + '/' + mm;
  }

  function draw(svg, width, height, series, colours) {
    var points = series.length ? series[0].length : 0;
    var all = [0];
    series.forEach(function (s) { all = all.concat(s); });
    var low = Math.min.apply(null, all);
    var high = Math.max.apply(null, all);
    if (high === low) high = low + 1;
    var step = niceStep(high - low);
    low = Math.floor(low / step) * step;
    high = Math.ceil(high / step) * step;
    var plotWidth = width - MARGIN.left - MARGIN.right;
    var plotHeight = height - MARGIN.top - MARGIN.bottom;
    var x = function (i) { return MARGIN.left + (points > 1 ? i * plotWidth / (points - 1) : 0); };
    var y = function (v) { return MARGIN.top + (high - v) * plotHeight / (high - low); };

    var axes = element('g', { class: 'axes' }, svg);
    for (var v = low; v <= high + step / 2; v += step) {
      element('line', { x1: MARGIN.left, x2: width - MARGIN.right, y1: y(v), y2: y(v),
        stroke: v === 0 ? '#888' : '#ddd', 'stroke-width': 1 }, axes);
      text(axes, MARGIN.left - 6, y(v) + 4, String(Math.round(v * 100) / 100), 'end');
    }
    var every = Math.max(1, Math.ceil(points / 10));
    for (var i = 0; i < points; i++) {
      if ((points - 1 - i) % every !== 0) continue;
      element('line', { x1: x(i), x2: x(i), y1: MARGIN.top + plotHeight,
        y2: MARGIN.top + plotHeight + 4, stroke: '#888' }, axes);
      text(axes, x(i), height - MARGIN.bottom + 18, dayLabel(points - 1 - i));
    }
    element('rect', { x: MARGIN.left, y: MARGIN.top, width: plotWidth, height: plotHeight,
      fill: 'none', stroke: '#888' }, axes);

    series.forEach(function (values, k) {
      var line = values.map(function (value, i) { return x(i) + ',' + y(value); }).join(' ');
      element('polyline', { class: 'curve', 'data-curve': k, points: line, fill: 'none',
        stroke: colours[k % colours.length], 'stroke-width': 2,
        'stroke-dasharray': PATTERNS[k % PATTERNS.length].dash || 'none',
        'stroke-linejoin': 'round' }, svg);
    });
  }

  function plot(applet) {
    if (applet.getAttribute('data-statplot')) return;
    applet.setAttribute('data-statplot', 'drawn');
    var width = parseInt(applet.getAttribute('width'), 10) || 600;
    var height = parseInt(applet.getAttribute('height'), 10) || 400;
    var svg = element('svg', { class: 'statplot', width: width, height: height,
      viewBox: '0 0 ' + width + ' ' + height, role: 'img' });
    applet.parentNode.insertBefore(svg, applet.nextSibling);
    var entries = legend(applet);
    element('title', {}, svg).textContent = chartTitle(entries);
    showPatterns(entries);
    var base = param(applet, 'Base');
    if (!base) return;
    var stacked = (param(applet, 'CUMUL') || '').toUpperCase() === 'TRUE';
    var colours = legendColours(entries);
    fetch(dataAddress(base), { credentials: 'same-origin' })
      .then(function (response) {
        if (!response.ok) throw new Error('HTTP ' + response.status);
        return response.text();
      })
      .then(function (body) {
        var rows = parseRows(body);
        draw(svg, width, height, curves(rows, stacked, colours.length), colours);
        svg.setAttribute('data-points', String(rows.length));
      })
      .catch(function (error) {
        text(svg, width / 2, height / 2, 'No data: ' + error.message);
        svg.setAttribute('data-error', error.message);
      });
  }

  function plotAll() {
    var applets = document.getElementsByTagName('applet');
    for (var i = 0; i < applets.length; i++) plot(applets[i]);
  }

  if (document.readyState === 'loading')
    document.addEventListener('DOMContentLoaded', plotAll);
  else
    plotAll();
})();
