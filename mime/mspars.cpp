#include "mime/mspars.h"
