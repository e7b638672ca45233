#pragma once
// This machine's installed player files as the patch walk sees them: each file's record read
// from the registry and the file hashed at most once per walk, however many entries ask.
#include <string>

#include "platform/transfer_control.h"
#include "player/patch_fit.h"

class InstalledPlayerDigests : public PlayerFileDigests {
public:
    // The walk stops once stop is raised or deadline passed (either may be null).
    InstalledPlayerDigests(const StopSignal* stop, const TransferDeadline* deadline)
        : stop_(stop), deadline_(deadline) {}

    const std::string& digest(PlayerComponent component, bool sixtyFourBit) override;
    bool walkMustStop() override;

private:
    struct Slot {
        bool known = false;  // looked up already (also when it yielded nothing)
        std::string text;
    };
    const StopSignal* stop_;
    const TransferDeadline* deadline_;
    Slot slots_[2][2];  // [component is the plug-in][sixtyFourBit]
};
