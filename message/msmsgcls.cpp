#include "message/msmsgcls.h"
