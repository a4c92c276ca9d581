#include "message/msmsg.h"
