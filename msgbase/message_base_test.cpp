#include <gtest/gtest.h>

#include "msgbase/message_base.h"
