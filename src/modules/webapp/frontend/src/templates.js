import Handlebars from 'handlebars/runtime';
import 'zv:templates';
import { registerHelpers } from './helpers.js';

registerHelpers(Handlebars);

export const templates = Handlebars.templates;
