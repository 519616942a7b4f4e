#include "nrl/nrl_debug.h"

uint32_t nrl_debug_flag = 0;
