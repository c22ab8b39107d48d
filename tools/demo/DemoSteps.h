#pragma once
// One function per API family; main.cpp runs them in this order.

#include "DemoContext.h"

namespace Demo {

bool RunAccountSteps(Context& context);

}  // namespace Demo
