#pragma once
// The public keys a version manifest must be signed with: the publisher's,
// built in from the key file of the source tree, and, in development and
// test builds, the local server's throw-away key.

#include <vector>

#include "pelbo/corekit/Signature.h"

namespace ReleaseKeys {

// Empty when the built-in key file does not parse, which refuses every
// manifest (and is logged once).
const std::vector<Util::Signature::Bytes>& Trusted();
// Whether the local server's key is among them, so that its signatures
// count: never in a build for users.
bool TrustsDevelopmentKey();

}  // namespace ReleaseKeys
