// Fixed addresses of the SIP service and the maker's pages. The service's
// hosts come from service.json, which the program's build reads too.
import hosts from '../../service.json' with { type: 'json' };

export const SIP_DOMAIN = hosts.sip_domain;
// with SIP_DOMAIN and SIP_DOMAIN:443, the domains of the service's own accounts
export const SECOND_DOMAIN = hosts.second_domain;
export const ECHO_PEER = `echo@${SIP_DOMAIN}`;
export const MUSIC_PEER = `music@${SIP_DOMAIN}`;
export const TEST_PEERS = ['echo', 'music', 'music1'].map((user) => `${user}@${SIP_DOMAIN}`);
export const STREAM_HOST = hosts.stream_host;
export const HELP_URL = 'https://zorvane.net/docs/';
export const CHANGELOG_URL = 'https://zorvane.net/changelog/';
export const INSTALL_URL = 'https://zorvane.net/download/standalone/';
export const APP_NAME = 'Zorvane';
