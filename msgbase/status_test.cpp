#include <gtest/gtest.h>

#include "msgbase/status.h"
