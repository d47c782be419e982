#pragma once

void zvaudio_open_folder(void);
