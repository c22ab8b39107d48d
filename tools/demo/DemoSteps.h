#pragma once
// One function per API family; main.cpp runs them in this order.

#include "DemoContext.h"

namespace Demo {

bool RunAccountSteps(Context& context);
bool RunMeetingsSteps(Context& context);
bool RunMaterialsSteps(Context& context);
bool RunSessionSteps(Context& context);
bool RunTransfersSteps(Context& context);
bool RunImgConvSteps(Context& context);
bool RunVersionSteps(Context& context);

}  // namespace Demo
