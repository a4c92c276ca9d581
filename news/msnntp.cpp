#include "news/msnntp.h"
