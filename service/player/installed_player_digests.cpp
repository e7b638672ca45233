#include "player/installed_player_digests.h"

#include "player/player_detection.h"

const std::string& InstalledPlayerDigests::digest(PlayerComponent component, bool sixtyFourBit) {
    Slot& slot = slots_[component == PlayerComponent::ActiveX ? 0 : 1][sixtyFourBit ? 1 : 0];
    if (slot.known) return slot.text;
    slot.known = true;
    // The 64-bit player's record is in the 64-bit registry view, its file in the native view.
    wchar_t path[kPlayerPathChars] = {};
    char text[kDigestBufferChars] = {};
    readPlayerPath(component, !sixtyFourBit, path);
    if (path[0] && hashPlayerFile(path, text, sixtyFourBit)) slot.text = text;
    return slot.text;
}

bool InstalledPlayerDigests::walkMustStop() {
    return (stop_ && stop_->requested()) || (deadline_ && deadline_->passed());
}
