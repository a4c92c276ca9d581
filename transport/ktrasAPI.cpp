#include "transport/ktrasAPI.h"
