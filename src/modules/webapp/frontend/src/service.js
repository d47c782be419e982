// Fixed addresses of the SIP service and the maker's pages. The SIP domain
// must match the one the web module treats as the service's own.
export const SIP_DOMAIN = 'sip.zorvane.net';
// with SIP_DOMAIN and SIP_DOMAIN:443, the domains of the service's own accounts
export const SECOND_DOMAIN = 'voip.zorvane.net';
export const ECHO_PEER = `echo@${SIP_DOMAIN}`;
export const MUSIC_PEER = `music@${SIP_DOMAIN}`;
export const TEST_PEERS = ['echo', 'music', 'music1'].map((user) => `${user}@${SIP_DOMAIN}`);
export const STREAM_HOST = 'stream.zorvane.net';
export const HELP_URL = 'https://zorvane.net/docs/';
export const CHANGELOG_URL = 'https://zorvane.net/changelog/';
export const INSTALL_URL = 'https://zorvane.net/download/standalone/';
export const APP_NAME = 'Zorvane';
