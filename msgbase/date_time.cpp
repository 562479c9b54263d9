#include "msgbase/date_time.h"
