// Switch for the network resource layer's own trace ("-nd" on the command
// line). Kept apart from the GRFS category mask so that the NRL can test it
// without depending on the agent.
#pragma once

#include <cstdint>

extern uint32_t nrl_debug_flag;  // nonzero: the NRL layer writes its trace
