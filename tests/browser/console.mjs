// Drives the console of `vtl serve` in headless Chromium as an operator would:
// logs in, searches for an account, opens one of its matches, opens the
// account and follows a link to the linked account, then logs out. Fails on
// any console error, any request that leaves the server's origin, any dialog,
// and any markup from a log that became an element; checks the screenshot of
// the account page and writes it.
//
//   node console.mjs   (everything from the environment)
//     VTL_NODE_MODULES  the node_modules that hold puppeteer-core
//     VTL_URL           the server, http://127.0.0.1:PORT
//     VTL_OPERATOR, VTL_PASSWORD
//     VTL_USER, VTL_LINKED, VTL_MATCHES   the account searched for, the one
//                       it is linked to, and how many matches it played
//     VTL_SHOT          where the account page's screenshot goes
//     VTL_SESSION_FILE  where the session cookie's value is written, for the
//                       caller to look for in the server's output
import { createRequire } from 'node:module';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { inflateSync } from 'node:zlib';

const env = (name) => {
  const v = process.env[name];
  if (!v) throw new Error(`${name} is not set`);
  return v;
};
const require = createRequire(join(env('VTL_NODE_MODULES'), 'noop.js'));
const puppeteer = require('puppeteer-core');

const base = new URL(env('VTL_URL'));
const user = env('VTL_USER');
const linked = env('VTL_LINKED');
const expectedMatches = Number(env('VTL_MATCHES'));

// What the hostile account's logs carry (tests/support/make_league.cpp).
const HOSTILE = ['<img src=x onerror=alert(1)>.exe', "<script>document.title='pwned'</script>"];
const HOSTILE_VOLUME = '<svg onload=alert(2)>';
// A request to another origin (loopback), which the check must see.
const PROBE = 'http://127.0.0.2:9/probe.png';

class Failure extends Error {}
const check = (ok, why) => {
  if (!ok) throw new Failure(why);
};

// ---- the PNG: decoded far enough to count its colours ---------------------
function pngPixels(bytes) {
  check(bytes.subarray(0, 8).equals(Buffer.from([137, 80, 78, 71, 13, 10, 26, 10])), 'the screenshot is no PNG');
  let pos = 8, width = 0, height = 0, channels = 0;
  const idat = [];
  while (pos < bytes.length) {
    const size = bytes.readUInt32BE(pos);
    const kind = bytes.toString('latin1', pos + 4, pos + 8);
    const body = bytes.subarray(pos + 8, pos + 8 + size);
    if (kind === 'IHDR') {
      width = body.readUInt32BE(0);
      height = body.readUInt32BE(4);
      check(body[8] === 8 && body[12] === 0, 'the screenshot is not 8 bits a channel, without interlace');
      channels = { 0: 1, 2: 3, 4: 2, 6: 4 }[body[9]];
    } else if (kind === 'IDAT') {
      idat.push(body);
    }
    pos += 12 + size;
  }
  const raw = inflateSync(Buffer.concat(idat));
  const stride = width * channels;
  const out = Buffer.alloc(stride * height);
  for (let y = 0; y < height; ++y) {
    const filter = raw[y * (stride + 1)];
    const line = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
    for (let x = 0; x < stride; ++x) {
      const a = x >= channels ? out[y * stride + x - channels] : 0;
      const b = y > 0 ? out[(y - 1) * stride + x] : 0;
      const c = x >= channels && y > 0 ? out[(y - 1) * stride + x - channels] : 0;
      const p = a + b - c;
      const pa = Math.abs(p - a), pb = Math.abs(p - b), pc = Math.abs(p - c);
      const predict = [0, a, b, (a + b) >> 1, pa <= pb && pa <= pc ? a : pb <= pc ? b : c][filter];
      check(predict !== undefined, `the screenshot has an unknown filter ${filter}`);
      out[y * stride + x] = (line[x] + predict) & 255;
    }
  }
  return { width, height, channels, data: out };
}

// A rendered page: many colours, and a good part of it not background.
function checkScreenshot(bytes) {
  const { width, height, channels, data } = pngPixels(bytes);
  const counts = new Map();
  for (let i = 0; i < data.length; i += channels) {
    const key = data.readUIntBE(i, Math.min(3, channels));
    counts.set(key, (counts.get(key) || 0) + 1);
  }
  const background = Math.max(...counts.values());
  const inked = 1 - background / (width * height);
  console.log(`screenshot ${width}x${height}, ${counts.size} colours, ${(inked * 100).toFixed(1)} % not background`);
  check(width >= 800 && height >= 400, `the screenshot is ${width}x${height}`);
  check(counts.size >= 32, `the screenshot has ${counts.size} colours: blank or nearly`);
  check(inked >= 0.03, `only ${(inked * 100).toFixed(1)} % of the screenshot is drawn`);
}

// ---- the pages -------------------------------------------------------------
const path = (page) => new URL(page.url()).pathname;

async function follow(page, selector, why) {
  const link = await page.$(selector);
  check(link, why);
  await Promise.all([page.waitForNavigation({ waitUntil: 'load' }), link.click()]);
}

// The text every frame of the page shows, and what markup from a log would
// have made of it.
async function framesText(page) {
  let text = '';
  for (const frame of page.frames()) {
    const seen = await frame.evaluate(() => ({
      text: document.body ? document.body.innerText : '',
      title: document.title,
      injected: document.querySelectorAll('img[src="x"], svg[onload], b[onmouseover], [onerror]').length,
      scripts: [...document.scripts].filter((s) => s.text.includes('pwned')).length,
    }));
    check(seen.title !== 'pwned', `a script from a log set the title of ${frame.url()}`);
    check(seen.injected === 0 && seen.scripts === 0, `markup from a log became elements in ${frame.url()}`);
    text += seen.text + '\n';
  }
  return text;
}

// Whether the report's script has drawn it, in the page or in a frame of it
// (sandboxed or not), within 15 s.
async function drawn(page) {
  for (let tries = 0; tries < 75; ++tries) {
    for (const frame of page.frames()) {
      const mark = await frame.evaluate(() => document.body && document.body.getAttribute('data-drawn')).catch(() => null);
      if (mark === 'yes') return true;
    }
    await new Promise((done) => setTimeout(done, 200));
  }
  return false;
}

// Submits a form by its button, as a user does, or as Enter would where it has none.
async function submit(page, form, why) {
  const button = await page.$(`${form} button, ${form} [type="submit"]`);
  const sent = button ? button.click() : page.$eval(form, (f) => f.requestSubmit()).catch(() => check(false, why));
  await Promise.all([page.waitForNavigation({ waitUntil: 'load' }), sent]);
}

async function login(page) {
  await page.goto(new URL('/matches', base).href, { waitUntil: 'load' });
  check(path(page) === '/login', `/matches without a session went to ${path(page)}, not /login`);
  check(await page.$('form#login input[name="csrf"]'), 'the login form has no csrf field');
  await page.type('form#login input[name="name"]', env('VTL_OPERATOR'));
  await page.type('form#login input[type="password"][name="password"]', env('VTL_PASSWORD'));
  await follow(page, 'form#login button[type="submit"]', 'the login form has no submit button');
  check(path(page) === '/matches', `logging in went to ${path(page)}, not /matches`);
  const cookies = await page.browserContext().cookies();
  const session = cookies.find((c) => c.name === 'vtl_session');
  check(session && session.httpOnly && session.sameSite === 'Strict', 'the session cookie is not HttpOnly and SameSite=Strict');
  check(/^[0-9a-f]{64}$/.test(session.value), 'the session id is not 32 bytes in hex');
  if (process.env.VTL_SESSION_FILE) writeFileSync(process.env.VTL_SESSION_FILE, session.value);
}

async function searchAndOpenMatch(page) {
  await page.type('form#search input[name="user"]', user);
  await submit(page, 'form#search', 'there is no form#search');
  check(new URL(page.url()).searchParams.get('user') === user, `the search did not ask for user ${user}`);
  const rows = await page.$$eval('table#matches a.account', (as) => as.map((a) => a.getAttribute('href')));
  check(rows.length === expectedMatches, `the search for user ${user} has ${rows.length} rows, not ${expectedMatches}`);
  check(rows.every((h) => h === `/account/${user}`), `the search for user ${user} lists other accounts: ${rows}`);
  await follow(page, 'table#matches a.match', 'the search results have no link to a match');
  check(/^\/match\/\d+$/.test(path(page)), `the match link went to ${path(page)}`);
  const sha = await page.$eval('dl#file dd#sha256', (dd) => dd.textContent.trim()).catch(() => '');
  check(/^[0-9a-f]{64}$/.test(sha), `the match page shows no SHA-256 in dl#file (${sha})`);
  check(await page.$('a#download-log'), 'the match page has no link to download the log');
  // The report's own script draws it, in whichever frame the console put it.
  check(await drawn(page), "the match report's script did not draw it");
  const text = await framesText(page);
  for (const t of HOSTILE) check(text.includes(t), `the match page does not show ${JSON.stringify(t)} as text`);
}

async function openAccount(page) {
  await page.goBack({ waitUntil: 'load' });
  await follow(page, `table#matches a.account[href="/account/${user}"]`, 'the search results have no account link');
  check(path(page) === `/account/${user}`, `the account link went to ${path(page)}`);
  for (const part of ['section#account-matches', 'section#identifiers', 'table#links', 'svg#graph'])
    check(await page.$(part), `the account page has no ${part}`);
  const text = await framesText(page);
  check(text.includes(HOSTILE_VOLUME), 'the account page does not show the markup volume id as text');
  check(/evidence, not a verdict/i.test(text), 'the account page does not say what a link proves');
  const shot = await page.screenshot({ fullPage: true });
  checkScreenshot(Buffer.from(shot));
  writeFileSync(env('VTL_SHOT'), shot);
}

// The markup volume id's own page, by its link: the value must come back
// whole through the address.
async function openIdentifier(page) {
  const links = await page.$$('section#identifiers a');
  let link = null;
  for (const a of links) if ((await a.evaluate((e) => e.textContent.trim())) === HOSTILE_VOLUME) link = a;
  check(link, 'the markup volume id has no link in section#identifiers');
  await Promise.all([page.waitForNavigation({ waitUntil: 'load' }), link.click()]);
  const at = new URL(page.url());
  check(at.pathname === '/identifier' && at.searchParams.get('value') === HOSTILE_VOLUME,
    `the volume id's link went to ${at.pathname}${at.search}`);
  const text = await framesText(page);
  check(text.includes(HOSTILE_VOLUME), 'the identifier page does not show the volume id as text');
  check(await page.$(`a.account[href="/account/${user}"]`), `the identifier page does not link to ${user}`);
  await page.goBack({ waitUntil: 'load' });
}

async function followLink(page) {
  await follow(page, `table#links a.account[href="/account/${linked}"]`, `table#links has no link to ${linked}`);
  check(path(page) === `/account/${linked}`, `the link went to ${path(page)}`);
  const back = await page.$$eval('table#links a.account', (as) => as.map((a) => a.getAttribute('href')));
  check(back.includes(`/account/${user}`), `the linked account's table#links does not lead back to ${user}`);
}

// The account's ping and throughput by day, drawn within the page's policy.
async function trends(page) {
  await page.goto(new URL(`/trends?user=${user}&by=day`, base).href, { waitUntil: 'load' });
  check(path(page) === '/trends', `the trends page went to ${path(page)}`);
  // Points drawn in each chart, however it draws them: a polyline's points,
  // a path's segments, dots.
  const charts = await page.$$eval('svg.chart', (svgs) => svgs.map((svg) => {
    let points = svg.querySelectorAll('circle').length;
    for (const l of svg.querySelectorAll('polyline')) points += l.points.numberOfItems;
    for (const p of svg.querySelectorAll('path')) points += ((p.getAttribute('d') || '').match(/[MLHVCSQTA]/gi) || []).length;
    return points;
  }));
  check(charts.length >= 2 && charts.every((points) => points >= 2), `the trends page has charts of ${charts} points`);
}

async function logout(page) {
  check(await page.$('form#logout input[name="csrf"]'), 'the logout form has no csrf field');
  await submit(page, 'form#logout', 'the page has no form#logout');
  check(path(page) === '/login', `logging out went to ${path(page)}, not /login`);
  await page.goto(new URL(`/account/${user}`, base).href, { waitUntil: 'load' });
  check(path(page) === '/login', 'after logging out the account page still opens');
}

// ---- the browser -----------------------------------------------------------
async function main() {
  const profile = mkdtempSync(join(tmpdir(), 'vtl-console-'));
  const browser = await puppeteer.launch({
    executablePath: process.env.VTL_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    userDataDir: profile,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-extensions', '--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1',
      '--window-size=1280,900'],
    defaultViewport: { width: 1280, height: 900 },
  });
  const problems = [], outside = [];
  try {
    const page = await browser.newPage();
    page.on('console', (m) => {
      if (m.type() !== 'error') return;
      const where = m.location().url || '';
      // The browser asks for the icon on its own; no page names it. The
      // probe below is refused on purpose.
      if (new URL(where, base).pathname === '/favicon.ico' || where === PROBE) return;
      problems.push(`console error: ${m.text()}${where ? ` (${where})` : ''}`);
    });
    page.on('pageerror', (e) => problems.push(`script error: ${e.message}`));
    page.on('dialog', async (d) => { problems.push(`a dialog opened: ${d.message()}`); await d.dismiss(); });
    // Every answer of the server says what the page may load and that its
    // type is as said; pages are never cached.
    page.on('response', (r) => {
      const u = new URL(r.url());
      if (u.origin !== base.origin || u.pathname === '/favicon.ico') return;
      const h = r.headers();
      if (h['x-content-type-options'] !== 'nosniff') problems.push(`${u.pathname} has no nosniff`);
      if (r.request().resourceType() !== 'document') return;
      if (!/default-src 'none'/.test(h['content-security-policy'] || '')) problems.push(`${u.pathname} has not the CSP`);
      if (!/no-store/.test(h['cache-control'] || '')) problems.push(`${u.pathname} may be cached`);
    });
    await page.setRequestInterception(true);
    page.on('request', (r) => {
      const u = new URL(r.url());
      if (u.origin === base.origin || u.protocol === 'data:' || u.href === 'about:blank') return r.continue();
      outside.push(r.url());
      return r.abort('blockedbyclient');
    });
    // The check itself sees a request that leaves the origin.
    await page.goto('about:blank');
    await page.evaluate((probe) => new Promise((done) => {
      const img = new Image();
      img.onload = img.onerror = done;
      img.src = probe;
    }), PROBE);
    check(outside.length === 1, 'the request check did not see a request to another origin');
    outside.length = 0;

    const steps = [['login', login], ['search and match', searchAndOpenMatch], ['account', openAccount],
      ['identifier', openIdentifier], ['linked account', followLink], ['trends', trends],
      ['logout', logout]];
    for (const [name, step] of steps) {
      await step(page);
      check(problems.length === 0, `${name}: ${problems.join('; ')}`);
      check(outside.length === 0, `${name}: requests outside ${base.origin}: ${outside.join(' ')}`);
      console.log(`${name}: ok`);
    }
  } finally {
    await browser.close();
    rmSync(profile, { recursive: true, force: true });
  }
}

const watchdog = setTimeout(() => {
  console.error('the browser check took more than 150 s');
  process.exit(1);
}, 150000);
try {
  await main();
  clearTimeout(watchdog);
} catch (e) {
  console.error(e instanceof Failure ? e.message : `${e.name}: ${e.message}`);
  process.exit(1);
}
