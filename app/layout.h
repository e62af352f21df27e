// The wizard window's controls and their places, at 96 dots per inch.
#pragma once
#include <vector>

#include "app/controls.h"
#include "platform/ui.h"

namespace bv {

const std::vector<ui::ControlDef>& WizardLayout();
const ui::ControlDef& DefOf(ui::ControlId ctl);

}  // namespace bv
