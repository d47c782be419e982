// Fixed addresses of the SIP service and the maker's pages. The SIP domain
// must match the one the web module treats as the service's own.
export const SIP_DOMAIN = 'svc.test';
export const ECHO_PEER = `echo@${SIP_DOMAIN}`;
export const MUSIC_PEER = `music@${SIP_DOMAIN}`;
export const TEST_PEERS = ['echo', 'music', 'music1'].map((user) => `${user}@${SIP_DOMAIN}`);
export const STREAM_HOST = 'live.zorvane.example';
export const HELP_URL = 'https://zorvane.example/docs/';
export const CHANGELOG_URL = 'https://zorvane.example/changelog/';
export const INSTALL_URL = 'https://zorvane.example/download/standalone/';
export const APP_NAME = 'Zorvane';
