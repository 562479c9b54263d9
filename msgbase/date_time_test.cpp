#include <gtest/gtest.h>

#include "msgbase/date_time.h"
