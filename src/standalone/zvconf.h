// The configuration directory and the SIP library's configuration file.
#pragma once

#include "sipstack.h"

void zvconf_path_set(const char *path);
const char *zvconf_software(void);
int zvconf_template_print(struct re_printf *pf, void *arg);
int zvconf_configure(bool reset);

// The configuration directory that zvconf_configure chose, "" before.
const char *zvconf_dir(void);
