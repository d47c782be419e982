// Provisioning: at every start, once the stored accounts are registered,
// the installation's service account is asked of the provisioning service
// over HTTPS and replaces the stored accounts on the service's domains. An
// "update" member of an account announces a newer version to the page.
// Main thread only.
#pragma once

#include "sipstack.h"

// Takes blanks and line ends off the installation UUID that the SIP
// library read from its file: it goes into every registration's contact
// and into the provisioning request. Before the first user agent is made.
void webapp_installation_uuid_trim(void);

// Arms the start: 1000 ms later every stored account is registered and the
// provisioning request goes out.
void webapp_accounts_start_arm(void);

// Sends the provisioning request. 0 or the error of the request; the caller
// does not look at it. An installation UUID that is no UUID skips it.
int webapp_provisioning_start(void);

// Keeps the first 63 characters of version and (re)starts the 8000 ms to
// the UPDATE message, in place of a start still pending.
void webapp_update_schedule(const char *version);

// Cancels the start or the notice, then releases the request (no answer is
// handled afterwards) and the HTTP client.
void webapp_provisioning_close(void);
