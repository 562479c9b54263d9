#include "msgbase/address.h"
