// socket.io-client 0.9.16 against the server's Socket.IO layer, over the websocket transport
// and, separately, over xhr-polling: connect, heartbeats both ways, events with and without
// handlers and acknowledgements, a server emit whose acknowledgement reaches the server, the
// plain broadcast that must not reach Socket.IO peers, 30 s of staying connected, disconnect.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createRequire } from 'node:module';
import path from 'node:path';
import { createInterface } from 'node:readline';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const io = createRequire(import.meta.url)('socket.io-client');

// Every raw text and decoded packet a transport receives, kept on the transport's socket.
const onData = io.Transport.prototype.onData;
io.Transport.prototype.onData = function (data) {
  (this.socket.rawReceived ??= []).push(String(data));
  return onData.call(this, data);
};
const onPacket = io.Transport.prototype.onPacket;
io.Transport.prototype.onPacket = function (packet) {
  (this.socket.packetsReceived ??= []).push({ ...packet, at: Date.now() });
  return onPacket.call(this, packet);
};

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function waitFor(condition, timeoutMs, what) {
  const end = Date.now() + timeoutMs;
  while (!condition()) {
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(20);
  }
}

class SioFixture {
  static async start() {
    const build = process.env.CARD_SERVICE_BUILD ?? path.join(here, '../../build/linux');
    const fixture = new SioFixture(path.join(build, 'tests/fixtures/sio/sio-fixture'));
    fixture.port = Number(await fixture.next(() => true));
    return fixture;
  }

  constructor(binary) {
    this.proc = spawn(binary, ['0'], { stdio: ['pipe', 'pipe', 'inherit'] });
    this.lines = [];
    createInterface({ input: this.proc.stdout }).on('line', (line) => this.lines.push(line));
    this.exited = new Promise((resolve) => this.proc.on('exit', resolve));
  }

  // Takes the first printed line (from the start or after the last taken one) that matches.
  async next(match, timeoutMs = 5000) {
    this.read ??= 0;
    const test = typeof match === 'string' ? (l) => l === match : match;
    let found;
    await waitFor(() => {
      const i = this.lines.slice(this.read).findIndex(test);
      if (i < 0) return false;
      found = this.lines[this.read + i];
      this.read += i + 1;
      return true;
    }, timeoutMs, `fixture line ${match}`);
    return found;
  }

  printed(match) {
    return this.lines.some((l) => (typeof match === 'string' ? l === match : match(l)));
  }

  async command(text, answerPrefix) {
    this.proc.stdin.write(text + '\n');
    return this.next((l) => l.startsWith(answerPrefix));
  }

  async stop() {
    this.proc.stdin.write('STOP\n');
    await this.next('STOPPED', 15000);
    return this.exited;
  }
}

function connect(port, transport) {
  // The transports option is merged into the default list (the very array io.transports);
  // empty that list to force one, then give the socket a list of its own before its
  // handshake answer arrives, so that later connections cannot change it.
  io.transports.length = 0;
  const socket = io.connect(`http://127.0.0.1:${port}`, {
    transports: [transport],
    'force new connection': true,
    reconnect: false,
    'try multiple transports': false,
  });
  socket.socket.options.transports = [transport];
  return socket;
}

const heartbeats = (sock) => (sock.packetsReceived ?? []).filter((p) => p.type === 'heartbeat');

function emitWithAck(socket, ...args) {
  return new Promise((resolve) => socket.emit(...args, (...reply) => resolve(reply)));
}

async function session(transport, kind) {
  const fixture = await SioFixture.start();
  const socket = connect(fixture.port, transport);
  const sock = socket.socket;
  let disconnects = 0;
  socket.on('disconnect', () => disconnects++);
  socket.on('question', (value, ack) => ack('answer', value));
  try {
    await new Promise((resolve, reject) => {
      socket.on('connect', resolve);
      socket.on('connect_failed', () => reject(new Error('connect_failed')));
      socket.on('error', (e) => reject(new Error(`error ${e}`)));
    });
    assert.equal(sock.transport.name, transport);
    await fixture.next(`CONNECT ${kind}`);

    // An event with an acknowledgement, answered by the fixture's handler.
    assert.deepEqual(await emitWithAck(socket, 'echo', 'a', 2, { k: 'é/' }), ['a', 2, { k: 'é/' }]);
    await fixture.next('EVENT echo ["a",2,{"k":"\\u00e9\\/"}]');
    // A failing handler answers with the error reply.
    assert.deepEqual(await emitWithAck(socket, 'fail'), [{ Error: { msg: 'echo failed' } }]);
    // Text messages. The client's own send() asks for an acknowledgement without data ("3:1:"),
    // which is none to this server; a packet asking for one with data gets the handler's reply.
    socket.send('hi there');
    await fixture.next('MESSAGE hi there');
    socket.packet({ type: 'message', data: 'with ack', id: 900, ack: 'data' });
    await fixture.next('MESSAGE with ack');
    await waitFor(() => (sock.rawReceived ?? []).some((d) => d.includes('6:::900+["got"]')), 5000,
                  'the text acknowledgement');

    // An event for a name without handler gets no answer at all.
    let unanswered = false;
    socket.emit('nobody', 1, () => (unanswered = true));

    // A server emit with an acknowledgement: the client's ack reaches the completion callback.
    const emitted = await fixture.command('EMIT question {"q":[1,"x"]}', 'EMITTED');
    assert.ok(Number(emitted.split(' ')[1]) >= 1, emitted);
    await fixture.next('ACK ["answer",{"q":[1,"x"]}]');
    // ... and one asked from inside a handler, to the sender only.
    socket.emit('ask', 7);
    await fixture.next('ANSWER ["answer",7]');

    // A plain broadcast of the service never reaches a Socket.IO connection.
    await fixture.command('BROADCAST plain-broadcast', 'SENT');

    // Heartbeats: the server's, and the client's answer clears the server's mark.
    await waitFor(() => heartbeats(sock).length >= 1, 12000, 'a server heartbeat');
    await sleep(300);
    const state = await fixture.command('STATE', 'STATE');
    assert.match(state, new RegExp(` ${kind}:ping=0:connect=1`), state);
    // A heartbeat from the client, with none outstanding, is echoed at once.
    const before = heartbeats(sock).length;
    const sentAt = Date.now();
    sock.transport.packet({ type: 'heartbeat' });
    await waitFor(() => heartbeats(sock).length > before, 2000, 'the heartbeat echo');
    assert.ok(heartbeats(sock).at(-1).at - sentAt < 2000);

    // Thirty seconds connected: heartbeats keep the client's time-outs from closing it.
    const start = heartbeats(sock).length;
    await sleep(30000);
    assert.equal(disconnects, 0);
    assert.ok(socket.socket.connected, 'still connected after 30 s');
    assert.ok(heartbeats(sock).length - start >= 3, `heartbeats: ${heartbeats(sock).length - start}`);

    assert.equal(unanswered, false, 'an event without handler got an answer');
    assert.ok(!(sock.rawReceived ?? []).some((d) => d.includes('plain-broadcast')));
    assert.ok(!fixture.printed((l) => l.startsWith('EVENT nobody')));
    assert.ok(!fixture.printed('DISCONNECT'));

    socket.disconnect();
    assert.equal(disconnects, 1);
    if (kind === 'websocket') {
      // "0::" closes the network connection; the session's end is announced and freed.
      await fixture.next('DISCONNECT');
      const after = await fixture.command('STATE', 'STATE');
      assert.doesNotMatch(after, / websocket:/, after);
    } else {
      // A polling connection stays registered: "0::" has no effect on it.
      await sleep(500);
      assert.ok(!fixture.printed('DISCONNECT'));
      const after = await fixture.command('STATE', 'STATE');
      assert.match(after, / polling:/, after);
    }
    assert.equal(await fixture.stop(), 0);
  } finally {
    socket.disconnect();
    if (fixture.proc.exitCode === null) fixture.proc.kill('SIGKILL');
  }
}

test('socket.io-client 0.9 over the websocket transport', { timeout: 120000 }, () =>
  session('websocket', 'websocket'));

test('socket.io-client 0.9 over xhr-polling', { timeout: 120000 }, () =>
  session('xhr-polling', 'polling'));

test('many peers on both transports at once', { timeout: 60000 }, async () => {
  const fixture = await SioFixture.start();
  const transports = ['websocket', 'xhr-polling', 'websocket', 'xhr-polling', 'websocket', 'xhr-polling'];
  const sockets = transports.map((t) => connect(fixture.port, t));
  try {
    await Promise.all(sockets.map((s) => new Promise((resolve) => s.on('connect', resolve))));
    sockets.forEach((s, i) => {
      assert.equal(s.socket.transport.name, transports[i]);
      s.on('question', (value, ack) => ack('answer', i));
    });
    // Every peer emits while the server emits to every peer.
    const echoes = Promise.all(sockets.map((s, i) => emitWithAck(s, 'echo', i)));
    const emitted = await fixture.command('EMIT question 5', 'EMITTED');
    assert.ok(Number(emitted.split(' ')[1]) >= sockets.length, emitted);
    assert.deepEqual(await echoes, sockets.map((_, i) => [i]));
    const acks = [];
    for (let i = 0; i < sockets.length; i++) acks.push(await fixture.next((l) => l.startsWith('ACK ')));
    assert.deepEqual(acks.sort(), sockets.map((_, i) => `ACK ["answer",${i}]`).sort());
    // Each peer's copy of the broadcast carries a message number of its own.
    const ids = sockets.map((s) => s.socket.packetsReceived.find((p) => p.name === 'question').id);
    assert.equal(new Set(ids).size, sockets.length, `ids ${ids}`);
    assert.equal(await fixture.stop(), 0);
  } finally {
    sockets.forEach((s) => s.disconnect());
    if (fixture.proc.exitCode === null) fixture.proc.kill('SIGKILL');
  }
});
