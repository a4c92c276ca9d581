#include "news/harvest.h"
