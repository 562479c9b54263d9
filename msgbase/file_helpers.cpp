#include "msgbase/file_helpers.h"
