#include "msgbase/message_base.h"
