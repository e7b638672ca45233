#pragma once
// Whether a patch entry fits the installed player files, decided from their digests. The files
// come in through PlayerFileDigests: the service hashes each at most once per cycle, a test or a
// fuzz target hands in digests of its own.
#include <string>

#include "player/offer.h"

class PlayerFileDigests {
public:
    virtual ~PlayerFileDigests() = default;
    // The digest text (64 lowercase hex) of the component's installed player file: the 64-bit
    // player's when sixtyFourBit. Empty when there is no such file or it could not be hashed.
    virtual const std::string& digest(PlayerComponent component, bool sixtyFourBit) = 0;
    // True once the walk over the patch entries must give up (the service stops, time is up).
    virtual bool walkMustStop() = 0;
};

// Sets offer.patchApplies: the 32-bit player file must match hash32 and, when windowsIs64Bit
// (the 32-bit service on 64-bit Windows), the 64-bit player file must also match hash64. A
// digest text that is malformed matches nothing, and no file is hashed for it.
void decidePatchApplies(ComponentOffer& offer, bool windowsIs64Bit, PlayerFileDigests& files);
