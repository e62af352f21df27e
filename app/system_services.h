// The real services of the Windows program: settings store, web helpers,
// shell and media player; the downloads report to the window's progress and
// status.
#pragma once
#include "app/MainU.h"

namespace bv {

void UseSystemServices(TMainF& form);

}  // namespace bv
