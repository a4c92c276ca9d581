#include "message/msutils.h"
