#pragma once
// An offer of one component at one build, as the version manifest would give it.
#include "player/offer.h"

namespace testsupport {

inline ComponentOffer offer(PlayerComponent component, PlayerVersion version) {
    ComponentOffer o;
    o.component = component;
    o.version = version;
    return o;
}

}  // namespace testsupport
