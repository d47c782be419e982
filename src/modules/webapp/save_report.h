// The report of a settings file that could not be saved. Main thread only.
#pragma once

// Logs the warning "webapp: could not save <path> (<error>)" and shows the
// page an error toast: {"callback":"ERROR","message":"Could not save
// <file name>: <error>"} on "/ws_baresip".
void webapp_save_failed(const char *path, int err);
