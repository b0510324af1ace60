// Node's `ws` client against the WebSocket server: handshake, text both ways, the server's
// ping after every message, ping/pong, broadcast, the close handshake, and deactivation with
// two clients connected.
import assert from 'node:assert/strict';
import { once } from 'node:events';
import test from 'node:test';
import WebSocket from 'ws';

import { FixtureServer } from './ws-fixture/fixture.mjs';

function open(port, path = '/') {
  const ws = new WebSocket(`ws://127.0.0.1:${port}${path}`);
  ws.events = [];
  ws.on('message', (data, isBinary) => ws.events.push(['message', data.toString(), isBinary]));
  ws.on('ping', (data) => ws.events.push(['ping', data.toString()]));
  ws.on('pong', (data) => ws.events.push(['pong', data.toString()]));
  return once(ws, 'open').then(() => ws);
}

async function waitFor(condition, timeoutMs = 5000) {
  const end = Date.now() + timeoutMs;
  while (!condition()) {
    if (Date.now() > end) throw new Error('condition not met in time');
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
}

test('ws client session', { timeout: 30000 }, async () => {
  const server = await FixtureServer.start();
  try {
    const ws = await open(server.port, '/node?x=1');
    ws.send('STATUS');
    await waitFor(() => ws.events.length >= 2);
    assert.deepEqual(ws.events.slice(0, 2), [['message', 'STATUS:0', false], ['ping', '']]);

    ws.send('hello there');
    await waitFor(() => ws.events.length >= 3);
    assert.deepEqual(ws.events[2], ['ping', '']);

    ws.ping('nodeping');
    await waitFor(() => ws.events.some((e) => e[0] === 'pong' && e[1] === 'nodeping'));

    await server.broadcast('ATTACH:ACS ACR122U');
    await waitFor(() => ws.events.some((e) => e[0] === 'message' && e[1] === 'ATTACH:ACS ACR122U'));

    ws.close(1000, 'done');
    const [code] = await once(ws, 'close');
    assert.equal(code, 1000);
    assert.deepEqual(
      server.log.filter((line) => line.startsWith('TEXT')),
      ['TEXT STATUS', 'TEXT hello there'],
    );
    assert.equal(await server.stop(), 0);
  } finally {
    server.kill();
  }
});

test('deactivation closes both clients with 1000', { timeout: 30000 }, async () => {
  const server = await FixtureServer.start();
  try {
    const first = await open(server.port);
    const second = await open(server.port);
    const closes = [once(first, 'close'), once(second, 'close')];
    assert.equal(await server.stop(), 0);
    for (const closed of closes) {
      const [code] = await closed;
      assert.equal(code, 1000);
    }
  } finally {
    server.kill();
  }
});
