#include "mime/msuucode.h"
