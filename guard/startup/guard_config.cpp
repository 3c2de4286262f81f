#include "guard/guard.h"

GuardConfig guard_config = {0, kDefaultSocketName, AlarmNone, nullptr};
