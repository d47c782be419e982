// The one JSON decoder of the module: the library's decoder with the checks
// it lacks. Used for the module's files, the pages' messages and the
// provisioning answer.
#pragma once

#include <cstddef>

#include "sipstack.h"

// Decodes one JSON object into a new dictionary (key hash size 32, at most
// 8 levels of nesting below the top object). Blank text gives an empty
// dictionary. Otherwise the text must be exactly one object, followed by
// blanks only, with no top-level key twice; else EBADMSG, or the library's
// error (EOVERFLOW for deeper nesting, ENOMEM). *op is set only on success.
int webapp_json_decode(struct odict **op, const char *str, size_t len);
