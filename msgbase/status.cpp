#include "msgbase/status.h"
