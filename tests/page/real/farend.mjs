// A far end for the page's calls: Debian's own baresip on loopback, sending
// a sine tone, answering by itself, and driven over its TCP control socket
// (netstrings of JSON) to dial and hang up.
import { spawn } from 'node:child_process';
import { connect } from 'node:net';
import { mkdirSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';

const MODULES = '/usr/lib/baresip/modules';

export class FarEnd {
  constructor(root, port, controlPort) {
    this.dir = join(root, 'farend');
    this.port = port;
    this.controlPort = controlPort;
    this.aor = `peer@127.0.0.1:${port}`;
  }

  async start() {
    mkdirSync(this.dir, { recursive: true });
    writeFileSync(join(this.dir, 'config'), [
      'poll_method\tepoll',
      `sip_listen\t127.0.0.1:${this.port}`,
      'net_interface\t127.0.0.1',
      'audio_player\taubridge,null-farend',
      'audio_source\tausine,440',
      'audio_alert\taubridge,null-farend',
      'ausrc_srate\t48000',
      'ausrc_channels\t2',
      'auplay_srate\t48000',
      'auplay_channels\t2',
      'audio_codecs\topus/48000/2',
      'rtp_stats\tyes',
      `module_path\t${MODULES}`,
      'module\topus.so',
      'module\tausine.so',
      'module\taubridge.so',
      'module_tmp\taccount.so',
      'module_app\tmenu.so',
      'module_app\tctrl_tcp.so',
      `ctrl_tcp_listen\t127.0.0.1:${this.controlPort}`,
      '',
    ].join('\n'));
    writeFileSync(join(this.dir, 'accounts'), `<sip:peer@127.0.0.1:${this.port}>;regint=0;answermode=auto\n`);
    this.proc = spawn('baresip', ['-f', this.dir], { stdio: ['ignore', 'pipe', 'pipe'] });
    this.text = '';
    for (const stream of [this.proc.stdout, this.proc.stderr]) stream.on('data', (d) => { this.text += d; });
    const end = Date.now() + 20000;
    while (!this.text.includes('baresip is ready')) {
      if (Date.now() > end || this.proc.exitCode !== null) throw new Error(`the far end did not start:\n${this.text}`);
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
    this.control = await new Promise((resolve, reject) => {
      const socket = connect(this.controlPort, '127.0.0.1', () => resolve(socket.resume()));
      socket.once('error', reject);
    });
    return this;
  }

  command(command, params = '') {
    const body = JSON.stringify({ command, params });
    this.control.write(`${Buffer.byteLength(body)}:${body},`);
  }

  dial(uri) {
    this.command('dial', uri);
  }

  hangup() {
    this.command('hangup');
  }

  // Puts the call on hold (the far end offers sendonly) and takes it off.
  hold() {
    this.command('hold');
  }

  resume() {
    this.command('resume');
  }

  // A signal to the far end's process: SIGKILL ends it without a BYE,
  // SIGSTOP and SIGCONT silence it and let it go on.
  signal(sig) {
    this.proc.kill(sig);
  }

  output() {
    return this.text;
  }

  async stop() {
    this.control?.destroy();
    if (!this.proc || this.proc.exitCode !== null || this.proc.signalCode !== null) return;
    this.proc.kill('SIGTERM');
    await new Promise((resolve) => this.proc.once('exit', resolve));
  }
}
