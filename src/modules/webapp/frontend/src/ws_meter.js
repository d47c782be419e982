import { openSocket } from './socket.js';
import { showMeterLine } from './meterview.js';

export function ws_meter_init() {
  return openSocket('/ws_meter', { onText: showMeterLine });
}
