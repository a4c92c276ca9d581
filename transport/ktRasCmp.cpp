#include "transport/ktRasCmp.h"
