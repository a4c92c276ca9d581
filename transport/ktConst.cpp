#include "transport/ktConst.h"
