// Opens the service's own page (http://127.0.0.1:8085/) in headless Chromium, runs the example
// script of the README in it, and prints every line that script logs, until standard input
// closes.
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const readme = fs.readFileSync(path.join(here, '..', '..', 'README.md'), 'utf8');
const script = readme.match(/```html\n<script>\n([\s\S]*?)<\/script>\n```/)[1];

const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium',
  args: [
    '--headless',
    '--no-sandbox',
    '--disable-gpu',
    '--disable-background-networking',
    '--no-first-run',
    '--disable-component-update',
    '--disable-sync',
  ],
  timeout: 30000,
});
const page = await browser.newPage();
page.on('console', (message) => console.log(message.text()));
await page.goto('http://127.0.0.1:8085/');
await page.addScriptTag({ content: script });
console.log('page ready');

process.stdin.resume();
process.stdin.on('end', async () => {
  await browser.close();
  process.exit(0);
});
