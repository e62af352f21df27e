// The real services of the Windows program: settings store, web helpers,
// shell and media player; the downloads report to the window's progress and
// status.
#pragma once
#include <optional>

#include "app/MainU.h"
#include "platform/crypto.h"

namespace bv {

// Downloads are checked against the vendor's signed list with the key built
// into the program.
void UseSystemServices(TMainF& form);
// The same with the key given (tests); without one nothing is checked.
void UseSystemServices(TMainF& form, std::optional<crypto::EcP256Point> vendorKey);

}  // namespace bv
