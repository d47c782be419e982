import { templates } from './templates.js';
import { alertDialog } from './dialogs.js';
import { CHANGELOG_URL } from './service.js';

const CREDITS = [
  ['Bootstrap', 'MIT', 'https://github.com/twbs/bootstrap/blob/main/LICENSE'],
  ['Popper', 'MIT', 'https://github.com/floating-ui/floating-ui/blob/v2.x/LICENSE.md'],
  ['Font Awesome Free', 'CC BY 4.0, SIL OFL 1.1, MIT', 'https://fontawesome.com/license/free'],
  ['Handlebars', 'MIT', 'https://github.com/handlebars-lang/handlebars.js/blob/master/LICENSE'],
  ['driver.js', 'MIT', 'https://github.com/kamranahmedse/driver.js/blob/master/license'],
  ['Roboto Mono', 'SIL OFL 1.1', 'https://github.com/googlefonts/RobotoMono/blob/main/OFL.txt'],
];

export function showAbout() {
  const credits = CREDITS.map(([name, licence, url]) => ({ name, licence, url }));
  alertDialog(templates.about({ changelog: CHANGELOG_URL, credits }), 'large');
}
