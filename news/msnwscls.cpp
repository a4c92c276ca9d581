#include "news/msnwscls.h"
