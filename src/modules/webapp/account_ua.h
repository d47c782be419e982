// The user agents of the SIP library made from the account records (with a
// "quick" user agent where a record asks for one), and the three that the
// module singles out. Main thread only.
#pragma once

#include "sipstack.h"

// Makes and registers the record's user agent (and its quick one); a record
// on a service domain becomes the main account. A member "update" schedules
// the update notice and is taken out of the record. NULL does nothing.
void webapp_account_register(struct odict *record);

// The user agent for the page's outgoing calls: the one last set while the
// SIP library still lists it, else the library's first (NULL when none).
struct ua *webapp_ua_current(void);
void webapp_ua_current_set(struct ua *ua);

// The user agent of the last registered account on a service domain, and
// the last quick user agent; NULL when none or no longer listed.
struct ua *webapp_ua_main(void);
struct ua *webapp_ua_quick(void);

// Ends a user agent: hangs up each of its calls (so that their tracks are
// freed and the page is told), forgets it wherever the module keeps it and
// releases it. NULL does nothing.
void webapp_ua_end(struct ua *ua);
