// Headless Chromium against the WebSocket server: the page is served by the server itself
// (its default page on http://127.0.0.1), then the browser's own WebSocket goes through the
// handshake, text both ways, a broadcast, the close handshake, and deactivation.
import assert from 'node:assert/strict';
import test from 'node:test';
import { chromium } from 'playwright-core';

import { FixtureServer } from './ws-fixture/fixture.mjs';

const kFlags = [
  '--headless',
  '--no-sandbox',
  '--disable-gpu',
  '--disable-background-networking',
  '--no-first-run',
  '--disable-component-update',
  '--disable-sync',
];

// In the page: one socket whose events are collected in window.sockets[name].
function openSocket(page, port, name) {
  return page.evaluate(
    ({ port, name }) =>
      new Promise((resolve, reject) => {
        window.sockets ??= {};
        const ws = new WebSocket(`ws://127.0.0.1:${port}/browser/${name}`);
        const record = { ws, messages: [], close: null };
        window.sockets[name] = record;
        ws.onmessage = (event) => record.messages.push(event.data);
        ws.onclose = (event) => (record.close = { code: event.code, clean: event.wasClean });
        ws.onopen = () => resolve();
        ws.onerror = () => reject(new Error('WebSocket error'));
      }),
    { port, name },
  );
}

const messagesOf = (page, name) => page.evaluate((n) => window.sockets[n].messages, name);
const closeOf = (page, name) =>
  page.waitForFunction((n) => window.sockets[n].close, name, { timeout: 10000 }).then((h) =>
    h.jsonValue(),
  );

test('chromium session', { timeout: 50000 }, async () => {
  const server = await FixtureServer.start();
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: kFlags,
    timeout: 20000,
  });
  try {
    const page = await browser.newPage();
    const response = await page.goto(`http://127.0.0.1:${server.port}/`);
    assert.equal(response.status(), 200);
    assert.equal(await page.textContent('b'), '200 OK');

    await openSocket(page, server.port, 'one');
    await openSocket(page, server.port, 'two');
    await page.evaluate(() => window.sockets.one.ws.send('STATUS'));
    await page.waitForFunction(() => window.sockets.one.messages.length === 1);
    assert.deepEqual(await messagesOf(page, 'one'), ['STATUS:0']);

    await server.broadcast('DETACH:Virtual Reader 0');
    await page.waitForFunction(() => window.sockets.two.messages.length === 1);
    await page.waitForFunction(() => window.sockets.one.messages.length === 2);
    assert.deepEqual(await messagesOf(page, 'two'), ['DETACH:Virtual Reader 0']);

    await page.evaluate(() => window.sockets.one.ws.close(1000));
    assert.deepEqual(await closeOf(page, 'one'), { code: 1000, clean: true });

    assert.equal(await server.stop(), 0);
    assert.deepEqual(await closeOf(page, 'two'), { code: 1000, clean: true });
    assert.deepEqual(
      server.log.filter((line) => line.startsWith('TEXT')),
      ['TEXT STATUS'],
    );
  } finally {
    await browser.close();
    server.kill();
  }
});
