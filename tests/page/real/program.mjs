// The built program as the page meets it: a fresh configuration folder
// given with -f, a JACK server with the dummy backend as its sound card, and
// an opener script that records the address the program opens in the
// browser. The tests run inside a network namespace with only loopback.
import { spawn, execFileSync } from 'node:child_process';
import { chmodSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync, openSync, closeSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { REPO } from '../lib/deps.mjs';

const PROGRAM = process.env.ZORVANE_PROGRAM || 'zorvane-standalone';
const ENGINE_LEFT = 'PortAudio:in_0';
const TONE = 'jack_simple_client:output1';

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function waitFor(check, what, ms = 30000) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(50);
  }
}

// The output from the first line of what the program prints when its
// shutdown chain finds something left over (timers, descriptors, memory),
// or of a sanitizer's report; empty after a clean end (as in tests/lib).
export function shutdownReport(output) {
  const at = output.search(/Timers \(\d+\):|\bfd \d+ in use: |Memory leaks \(\d+\):|==\d+==ERROR: |: runtime error: |\bThreadSanitizer\b/);
  return at < 0 ? '' : output.slice(output.lastIndexOf('\n', at) + 1);
}

function exited(child) {
  if (child.exitCode !== null || child.signalCode !== null) return Promise.resolve(child.exitCode);
  return new Promise((resolve) => child.once('exit', (code) => resolve(code)));
}

export class RealProgram {
  // sipPort: SIP on 127.0.0.1 at that port, with one account "zv" there and
  // the account records of accounts after it. sound false: no sound device
  // at all (no JACK server, and ALSA finds no card on this machine). env:
  // variables added to the program's environment.
  constructor({ sipPort, accounts = [], sound = true, env = {} } = {}) {
    this.sipPort = sipPort;
    this.accounts = accounts;
    this.sound = sound;
    this.extraEnv = env;
  }

  async start() {
    this.root = mkdtempSync(join(tmpdir(), 'zv-page-real-'));
    this.dir = join(this.root, 'zorvane');
    if (this.sipPort) this.writeSipSetup();
    this.jackName = `zvpage-${process.pid}`;
    this.env = {
      ...process.env, HOME: this.root, JACK_DEFAULT_SERVER: this.jackName, JACK_NO_AUDIO_RESERVATION: '1', ...this.extraEnv,
    };
    delete this.env.DISPLAY;
    delete this.env.DBUS_SESSION_BUS_ADDRESS;

    // this machine has no sound card: without JACK, ALSA's own default
    // configuration lists no device
    if (this.sound) await this.startJack();
    else this.env.JACK_NO_START_SERVER = '1';

    this.openedFile = join(this.root, 'opened');
    const opener = join(this.root, 'opener.sh');
    writeFileSync(opener, `#!/bin/sh\nprintf '%s\\n' "$1" >> '${this.openedFile}'\n`);
    chmodSync(opener, 0o755);
    this.log = join(this.root, 'program-output');
    // the page's test driver takes this object for a server
    this.variant = 'standalone';
    // With many JACK servers and clients on the machine, the engine may find
    // no server at its start; the program is then started once more.
    for (let attempt = 1; ; attempt += 1) {
      await this.startProgram(opener);
      if (!this.sound) {
        await waitFor(() => this.output().includes('zvaudio ready'), 'the engine without a device');
        break;
      }
      try {
        // the engine's input ports exist once its streams run
        await waitFor(async () => (await this.ports()).includes(ENGINE_LEFT), 'the engine\'s input ports', 20000);
        break;
      } catch (e) {
        if (attempt === 3) throw e;
        this.program.kill('SIGTERM');
        await exited(this.program);
        // the next start's log is the first, as the tests of the logs expect
        rmSync(join(this.dir, 'logs'), { recursive: true, force: true });
      }
    }
    // the account's user agent is made a second after the module starts,
    // right before the provisioning request; calls need it
    if (this.sipPort) await waitFor(() => this.output().includes('webapp/account: start provisioning'), 'the account\'s user agent');
    return this;
  }

  async startProgram(opener) {
    rmSync(this.openedFile, { force: true });
    const out = openSync(this.log, 'a');
    this.program = spawn(PROGRAM, ['-f', this.dir], { env: { ...this.env, ZORVANE_OPENER: opener }, stdio: ['ignore', out, out] });
    closeSync(out);
    const line = await waitFor(() => {
      if (this.program.exitCode !== null) throw new Error(`the program ended early:\n${this.output()}`);
      return existsSync(this.openedFile) && readFileSync(this.openedFile, 'utf8').trim();
    }, 'the address the program opens');
    this.url = line.split('\n')[0];
    if (!/^http:\/\/127\.0\.0\.1:\d+\/$/.test(this.url)) throw new Error(`unexpected address ${this.url}`);
  }

  // The program's own template with SIP bound to loopback (the namespace
  // has no other address), and an account that does not register.
  writeSipSetup() {
    mkdirSync(this.dir);
    const template = readFileSync(join(REPO, 'tests', 'shell', 'config.golden'), 'utf8');
    writeFileSync(join(this.dir, 'config'), `${template}sip_listen\t\t127.0.0.1:${this.sipPort}\nnet_interface\t\t127.0.0.1\n`);
    const records = [{ user: 'zv', domain: `127.0.0.1:${this.sipPort}`, password: 'secret', regint: '0' }, ...this.accounts];
    writeFileSync(join(this.dir, 'accounts.json'), JSON.stringify(Object.fromEntries(records.map((r, i) => [i, r]))));
  }

  // The machine holds only a few JACK servers at once, and other tests may
  // run theirs: a server that does not come up is tried again for a while.
  async startJack() {
    const end = Date.now() + 120000;
    for (;;) {
      execFileSync('python3', [join(REPO, 'tests', 'lib', 'jack_registry.py')], { env: this.env, stdio: 'ignore' });
      // a generous client time-out: on a busy machine clients are slow to
      // open and to finish their cycles
      this.jack = spawn('jackd', ['--no-realtime', '-t', '10000', '-n', this.jackName, '-d', 'dummy', '-r', '48000', '-p', '480', '-C', '2', '-P', '2'],
        { env: this.env, stdio: 'ignore' });
      try {
        execFileSync('jack_wait', ['-w', '-t', '10', '-s', this.jackName], { env: this.env, stdio: 'ignore' });
        return;
      } catch (e) {
        this.jack.kill('SIGKILL');
        await exited(this.jack);
        this.jack = null;
        if (Date.now() > end) throw e;
        await sleep(1000);
      }
    }
  }

  output() {
    return existsSync(this.log) ? readFileSync(this.log, 'utf8') : '';
  }

  // What the program asked the desktop to open, one line each.
  opened() {
    return readFileSync(this.openedFile, 'utf8').trim().split('\n');
  }

  options() {
    return JSON.parse(readFileSync(join(this.dir, 'options.json'), 'utf8'));
  }

  // A JACK client command; such a client may fail to reach a busy server for
  // a moment, so it is tried again for a while.
  async jackRun(command, ...args) {
    const end = Date.now() + 20000;
    for (;;) {
      try {
        return execFileSync(command, ['-s', this.jackName, ...args], { env: this.env, encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] });
      } catch (e) {
        if (Date.now() > end) throw e;
        await sleep(200);
      }
    }
  }

  async ports() {
    return (await this.jackRun('jack_lsp')).split('\n');
  }

  // A sine tone from JACK's example client into the engine's left input
  // channel, in place of the silent capture port.
  async toneOn() {
    await waitFor(async () => {
      if (!this.tone || this.tone.exitCode !== null) this.tone = spawn('jack_simple_client', [], { env: this.env, stdio: 'ignore' });
      return (await this.ports()).includes(TONE);
    }, 'the tone client');
    await this.routeTone();
  }

  // Routes the tone into the given input ports of the engine, each in place
  // of what feeds it. Every restart of the engine's streams connects its
  // inputs to the capture ports again: the tone is routed anew after each.
  async routeTone(ports = [ENGINE_LEFT]) {
    for (const port of ports) {
      const lines = (await this.jackRun('jack_lsp', '-c', port)).split('\n');
      // streams that are being restarted have no ports for a moment
      if (lines[0] !== port) return;
      const sources = lines.slice(1).map((l) => l.trim()).filter(Boolean);
      for (const source of sources) if (source !== TONE) await this.jackRun('jack_disconnect', source, port);
      if (!sources.includes(TONE)) await this.jackRun('jack_connect', TONE, port);
    }
  }

  async toneOff() {
    await this.jackRun('jack_disconnect', TONE, ENGINE_LEFT);
    this.tone.kill('SIGTERM');
    await exited(this.tone);
    this.tone = null;
  }

  // Waits for the program to end by itself; answers its exit code.
  async ended(ms = 15000) {
    await waitFor(() => this.program.exitCode !== null || this.program.signalCode !== null, 'the program\'s end', ms);
    return this.program.signalCode ?? this.program.exitCode;
  }

  // Quits the program as the tray's Quit does (SIGTERM), leaving JACK and the
  // folder for stop(); answers how it ended.
  async quit() {
    this.program.kill('SIGTERM');
    await exited(this.program);
    return this.program.signalCode ?? this.program.exitCode;
  }

  // Stops the program as the tray's Quit does (SIGTERM) and answers how it
  // ended: its exit code, or the signal that ended it. The folder is kept
  // for a look when the program did not exit with 0.
  async stop() {
    let ending = null;
    if (this.tone) {
      this.tone.kill('SIGTERM');
      await exited(this.tone);
    }
    if (this.program) {
      if (this.program.exitCode === null && this.program.signalCode === null) this.program.kill('SIGTERM');
      await exited(this.program);
      ending = this.program.signalCode ?? this.program.exitCode;
    }
    if (this.jack) {
      this.jack.kill('SIGTERM');
      await exited(this.jack);
    }
    const report = this.program ? shutdownReport(this.output()) : '';
    if (ending === 0 && !report) rmSync(this.root, { recursive: true, force: true });
    else if (this.root) process.stderr.write(`kept ${this.root}\n`);
    if (report) throw new Error(`the program's shutdown report is not empty:\n${report}`);
    return ending;
  }
}
