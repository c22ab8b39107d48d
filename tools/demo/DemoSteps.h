#pragma once
// One function per API family; main.cpp runs them in this order.

#include "DemoContext.h"

namespace Demo {

// Makes a user the user cache's signed-in user, as the client does after a
// sign-in, so that every family also runs on its own (--only): on the local
// server the user of the sign-in token, at --server the account of --phone,
// signed in by password unless the account steps have done so.
bool EnsureSignedIn(Context& context);

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
