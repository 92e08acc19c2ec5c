#include "ea/ea_syslog.h"
