#include "news/linestream.h"
