#include "transport/ktwsock.h"
