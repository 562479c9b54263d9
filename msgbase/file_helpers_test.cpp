#include <gtest/gtest.h>

#include "msgbase/file_helpers.h"
