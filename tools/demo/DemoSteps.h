#pragma once
// One function per API family; main.cpp runs them in this order.

#include "DemoContext.h"

namespace Demo {

bool RunAccountSteps(Context& context);
bool RunUserSteps(Context& context);
bool RunMeetingsSteps(Context& context);
bool RunMaterialsSteps(Context& context);
bool RunSessionSteps(Context& context);
bool RunNetMonSteps(Context& context);
bool RunUploadsSteps(Context& context);
bool RunPicturesSteps(Context& context);
bool RunImgConvSteps(Context& context);
bool RunVersionSteps(Context& context);
bool RunUpdaterSteps(Context& context);

}  // namespace Demo
