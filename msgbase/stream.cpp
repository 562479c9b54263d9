#include "msgbase/stream.h"
