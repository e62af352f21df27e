// The real services of the Windows program: settings store, web helpers,
// shell and media player, and the window's progress and status wired into
// the web helpers.
#pragma once
#include "app/MainU.h"

namespace bv {

void UseSystemServices(TMainF& form);

}  // namespace bv
