// The account commands of "/ws_baresip" ("addsip", "deletesip",
// "uagcurrent") and the accounts object that every new page gets there.
#pragma once

// Sets (on) or clears the commands and the accounts object.
void webapp_account_commands_set(bool on);
