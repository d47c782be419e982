// The user's contacts: a record dictionary kept in contacts.json, each
// record ("name", "sip" and any other strings) also entered into the SIP
// library's contact list. Main thread only.
#pragma once

#include "sipstack.h"

// Loads contacts.json and enters every record into the library's list, and
// sets the "/ws_contacts" commands and state. A file that does not decode
// leaves no dictionary, is never written over, and its error is returned.
int webapp_contacts_init(void);

// Saves and releases the dictionary, and clears the commands.
void webapp_contacts_close(void);

// Enters a contact record (NULL: nothing) into the library's contact list as
// "name" <sip:address>, from the first 49 characters of "name" and the first
// 99 of "sip". An address that would not stay one plain SIP address in the
// name-addr (with <, >, ", a blank or a control character) is not entered.
void webapp_contact_register(const struct odict *record);

// Stores the page's record's string members (without "command") under the
// first free key, saves the file and enters the record into the library's
// list. A record that finds no free key is neither stored nor entered;
// without a dictionary (an unreadable file) it is entered, and the page is
// told that it was not stored.
void webapp_contact_add(const struct odict *record);

// Removes the first record whose "sip" (first 99 characters) equals sip
// and saves the file; the library's list keeps the contact.
void webapp_contact_delete(const char *sip);

// The contacts dictionary; NULL after a contacts.json that did not decode.
const struct odict *webapp_contacts(void);
