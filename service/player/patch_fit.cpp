#include "player/patch_fit.h"

#include "player/player_records.h"

void decidePatchApplies(ComponentOffer& offer, bool windowsIs64Bit, PlayerFileDigests& files) {
    offer.patchApplies = false;
    if (!isPlayerDigestText(offer.hash32)) return;
    if (windowsIs64Bit && !isPlayerDigestText(offer.hash64)) return;
    if (!digestMatches(offer.hash32, files.digest(offer.component, false).c_str())) return;
    // 64-bit Windows: the 64-bit player file must fit the patch as well.
    if (windowsIs64Bit &&
        !digestMatches(offer.hash64, files.digest(offer.component, true).c_str()))
        return;
    offer.patchApplies = true;
}
