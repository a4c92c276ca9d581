#include "transport/msmb.h"
