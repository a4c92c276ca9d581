#include "transport/kttypes.h"
