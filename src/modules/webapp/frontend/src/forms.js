import { el } from './dom.js';

// The named fields of a form; a name used more than once gives an array.
export function formRead(form) {
  const out = {};
  for (const [name, value] of new FormData(form).entries()) {
    if (name in out) {
      if (!Array.isArray(out[name])) out[name] = [out[name]];
      out[name].push(value);
    } else {
      out[name] = value;
    }
  }
  return out;
}

function markField(field) {
  if (!field.willValidate || field.type === 'hidden') return;
  const valid = field.checkValidity();
  field.classList.toggle('is-valid', valid);
  field.classList.toggle('is-invalid', !valid);
  let feedback = field.nextElementSibling;
  if (!feedback || !feedback.classList.contains('invalid-feedback')) {
    feedback = el('div', { class: 'invalid-feedback' });
    field.after(feedback);
  }
  feedback.textContent = valid ? '' : field.validationMessage;
}

function markAll(form) {
  [...form.elements].forEach(markField);
}

// Marks the fields and tells whether the form is valid. From the first call
// on, every input re-validates the form.
export function formValidate(form) {
  if (!form) return false;
  if (!form.dataset.validating) {
    form.dataset.validating = 'true';
    form.addEventListener('input', () => markAll(form));
  }
  markAll(form);
  return form.checkValidity();
}

// Runs fn instead of the default action when Enter is pressed in an element
// matching selector.
export function onEnter(selector, fn, root = document) {
  root.querySelectorAll(selector).forEach((node) => {
    node.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') {
        e.preventDefault();
        fn(e);
      }
    });
  });
}
