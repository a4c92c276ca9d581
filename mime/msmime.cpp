#include "mime/msmime.h"
