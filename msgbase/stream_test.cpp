#include <gtest/gtest.h>

#include "msgbase/stream.h"
