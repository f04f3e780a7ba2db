// The steps of an injection answer an InjectionResult each: Injected from a step means only that the
// step went well and the next may follow.
#pragma once

#include "capture/inject/ImportInjection.h"

namespace capture {

constexpr InjectionResult kStepDone = InjectionResult::Injected;

} // namespace capture
