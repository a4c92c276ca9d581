#include "transport/ktsocket.h"
