// The page's SIP accounts: the records of accounts.json and the marks the
// page sees ("status" while registered, "current" on the account of
// outgoing calls); their user agents are account_ua.h's. Main thread only.
#pragma once

#include "sipstack.h"

// Loads accounts.json, sets the "/ws_baresip" account commands and, when the
// file was readable, arms the start of registration and provisioning
// (1000 ms later). 0, or the decoder's error for a damaged file: then the
// module has no accounts dictionary, and the file is never written.
int webapp_accounts_init(void);

// Cancels the start or the update notice, drops the provisioning request,
// saves and releases the dictionary. Copes with an init that never ran.
void webapp_accounts_close(void);

// An account from the page: registered, then stored and saved.
void webapp_account_add(const struct odict *record);

// Stores a copy of the record (its string members but "command") under the
// first free number and saves accounts.json; nothing without a dictionary.
void webapp_account_store(const struct odict *record);

// Deletes the first record with user and domain, or with a NULL user every
// record on domain, ending each one's user agent and saving after each.
void webapp_account_delete(const char *user, const char *domain);

// Marks every record whose address of record is aor with "status".
void webapp_account_status_set(const char *aor, bool status);

// Puts "current" on the records of the current user agent.
void webapp_account_current_mark(void);

// The accounts dictionary (the accounts object of "/ws_baresip"); NULL
// after a damaged accounts.json.
struct odict *webapp_accounts(void);
