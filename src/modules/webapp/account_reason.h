// Why an account's registration failed, as the SIP library told it, for the
// page's accounts table. Kept apart from the account records: those are
// saved, and their texts become account parameters at the next start. Main
// thread only.
#pragma once

// Keeps reason for the address of record aor; NULL or "" forgets it. True
// when that changed what is kept.
bool webapp_account_reason_set(const char *aor, const char *reason);

// Sends every page on "/ws_baresip" {"callback":"REGISTRATION","reasons":
// {<aor>: <reason>, ...}}; the push to a page that connects sends it only
// when a reason is kept.
void webapp_account_reasons_send(void);
void webapp_account_reasons_push(void);

// Forgets every reason (module close).
void webapp_account_reasons_close(void);
