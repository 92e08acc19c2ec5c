#include "ea/ea_log.h"

namespace
{
void (*ea_log_observer)(const char *msg);
}

void Ea_log(const char *msg)
{
    if (ea_log_observer != nullptr && msg != nullptr)
        ea_log_observer(msg);
}

void ea_log_setobserver(void (*observer)(const char *msg))
{
    ea_log_observer = observer;
}
