#include "webapp_engine.h"

// Options are not part of the module yet: a request changes nothing.
void webapp_option_request(const char *, const char *)
{
}
