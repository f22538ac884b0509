// Host-kernel internals shared between its own sources.
#pragma once

#include "hostkernel/hostkernel.h"

namespace hk {

char16_t UpcaseChar(char16_t c);
void ResetRegistry();

}  // namespace hk
