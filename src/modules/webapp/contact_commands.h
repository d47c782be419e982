// The "/ws_contacts" commands "addcontact" and "deletecontact".
#pragma once

// Sets (on) or clears the two commands' handlers.
void webapp_contact_commands_set(bool on);
