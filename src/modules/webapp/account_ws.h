// The account commands of "/ws_baresip" ("addsip", "deletesip",
// "uagcurrent") and the accounts object that every new page gets there.
#pragma once

void webapp_account_commands_set(void);
void webapp_account_commands_clear(void);
