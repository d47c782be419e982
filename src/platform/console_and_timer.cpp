#include "platform.h"

void zv_console_attach()
{
}

void zv_timer_period_begin()
{
}

void zv_timer_period_end()
{
}
