import { driver } from 'driver.js';
import { readKey, writeKey } from './storage.js';

// The first-run tour; once closed or finished it does not come back.
export function startTourOnce() {
  if (readKey('zvonboarding') === 'completed') return;
  const tour = driver({
    showProgress: true,
    // no sliding highlight for those who asked their system for less motion
    animate: !window.matchMedia('(prefers-reduced-motion: reduce)').matches,
    steps: [
      { element: '#btn-interface', popover: { description: 'Select your Audio Interface' } },
      { element: '#sipnumbercall', popover: { description: 'Enter <b>echo</b> and press <b>Call</b>', side: 'left' } },
      { element: '#btn-record', popover: { description: 'Press <b>Record</b> if ready' } },
    ],
    // a text box takes no expanded state: the tour's mark of the element it
    // shows is kept to what the box allows
    onHighlighted: (element) => {
      if (element?.matches('input')) element.removeAttribute('aria-expanded');
    },
    // runs whenever the user ends the tour: closed, overlay or last step
    onDestroyStarted: () => {
      writeKey('zvonboarding', 'completed');
      layout.disconnect();
      tour.destroy();
    },
  });
  // What arrives after the start (the ID line, the calls) moves the element
  // a step shows: the step is placed anew beside it.
  const layout = new ResizeObserver(() => {
    if (tour.isActive()) tour.refresh();
  });
  layout.observe(document.getElementById('app'));
  tour.drive();
}
