#include <gtest/gtest.h>

#include "msgbase/address.h"
