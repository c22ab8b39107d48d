#include "pelbo/core/LastReference.h"

CLastReference::CLastReference() = default;

CLastReference::~CLastReference() = default;

CLastReference::Held CLastReference::Hold() noexcept
{
    if (IsClosed())
        return Held(nullptr, false);
    const std::weak_ptr<CLastReference> weak = weak_from_this();
    std::shared_ptr<CLastReference> reference = weak.lock();
    if (reference)
        return Held(std::move(reference), true);
    // Expired, or never shared: an expired pointer still names its control
    // block (the manager is being destroyed: nothing runs), an object that
    // was never shared names none (its owner keeps it alive: the handler runs).
    const std::weak_ptr<CLastReference> none;
    const bool wasShared = weak.owner_before(none) || none.owner_before(weak);
    return Held(nullptr, !wasShared);
}
