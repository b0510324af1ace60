// Starts the WebSocket fixture server (tests/ws-fixture) for a Node test and talks to it.
import { spawn } from 'node:child_process';
import path from 'node:path';
import { createInterface } from 'node:readline';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));

export class FixtureServer {
  static async start() {
    const build = process.env.CARD_SERVICE_BUILD ?? path.join(here, '../../../build/linux');
    const server = new FixtureServer(path.join(build, 'tests/ws-fixture/ws-fixture'));
    server.port = Number(await server.nextLine());
    return server;
  }

  constructor(binary) {
    this.proc = spawn(binary, ['0'], { stdio: ['pipe', 'pipe', 'inherit'] });
    this.lines = [];
    this.log = []; // every line printed after the port
    this.waiters = [];
    this.exited = new Promise((resolve) => this.proc.on('exit', (code) => resolve(code)));
    createInterface({ input: this.proc.stdout }).on('line', (line) => {
      if (this.port !== undefined) this.log.push(line);
      const waiter = this.waiters.shift();
      if (waiter) waiter(line);
      else this.lines.push(line);
    });
  }

  nextLine(timeoutMs = 5000) {
    if (this.lines.length) return Promise.resolve(this.lines.shift());
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error('fixture printed nothing')), timeoutMs);
      this.waiters.push((line) => {
        clearTimeout(timer);
        resolve(line);
      });
    });
  }

  // Waits for the printed line `wanted`; returns the lines before it.
  async expect(wanted, timeoutMs = 5000) {
    const seen = [];
    for (;;) {
      const line = await this.nextLine(timeoutMs);
      if (line === wanted) return seen;
      seen.push(line);
    }
  }

  async broadcast(text) {
    this.proc.stdin.write(text + '\n');
    await this.expect('SENT');
  }

  // Deactivates the server; resolves to the fixture's exit code.
  async stop() {
    this.proc.stdin.write('STOP\n');
    await this.expect('STOPPED', 15000);
    return this.exited;
  }

  kill() {
    if (this.proc.exitCode === null) this.proc.kill('SIGKILL');
  }
}
