import { mysip } from './peers.js';

// Template helpers. Each returns a plain string, so the runtime escapes it.
export function registerHelpers(Handlebars) {
  Handlebars.registerHelper('trackno', (n) => String(Number(n) + 1));
  Handlebars.registerHelper('mysip', (peer) => (peer === undefined || peer === null ? '' : String(mysip(peer))));
  // eslint-disable-next-line eqeqeq
  Handlebars.registerHelper('myselect', (a, b) => (a == b ? 'selected' : ''));
  Handlebars.registerHelper('ifeq', function ifeq(a, b, options) {
    // eslint-disable-next-line eqeqeq
    return a == b ? options.fn(this) : options.inverse(this);
  });
  Handlebars.registerHelper('times', function times(n, options) {
    let out = '';
    const count = Number(n) || 0;
    for (let i = 0; i < count; i += 1) {
      const data = Handlebars.createFrame(options.data || {});
      data.index = i;
      data.first = i === 0;
      data.last = i === count - 1;
      out += options.fn(i, { data });
    }
    return out;
  });
  Handlebars.registerHelper('inc', (n) => String(Number(n) + 1));
  Handlebars.registerHelper('capitalize', (text) => (typeof text === 'string' && text.length > 0
    ? text[0].toUpperCase() + text.slice(1) : ''));
}
