// The texts of provisioning and of the update notice.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sipstack.h"

// Takes blanks and line ends off both ends of text, in place.
void provision_trim(char *text);

// The installation UUID without surrounding blanks and line ends, into out.
// 0, or EINVAL when it is empty or holds anything but hex digits and "-".
int provision_uuid(char *out, size_t size, const char *uuid);

// "https://<host>/api/v1/provisioning/<uuid>?version=<version>&type=standalone".
// 0, or ENOMEM when it does not fit.
int provision_url(char *buf, size_t size, const char *host, const char *uuid, const char *version);

// The answer's object: the body from its first "{" through its first "}".
// A body of 8192 bytes or more, or one without such a span, gives false.
// The body ends at its first NUL byte.
bool provision_object(const uint8_t *body, size_t len, struct pl *object);

// The UPDATE message announcing version, escaped as a JSON string.
// 0, or ENOMEM when it does not fit.
int provision_update_message(char *buf, size_t size, const char *version);
