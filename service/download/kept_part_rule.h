#pragma once
// Whether a part a cut download left (in the staging folder named from its package's digest)
// still waits for its download, from what the cycle knows at the point it decides. A plain
// function of those facts, so that the cycle and tests ask the same rule.
#include <string>

// What the cycle knows when it decides about the parts left.
struct KeptPartFacts {
    // SilentAutoUpdateEnable on and AutoUpdateDisable off: only then does any start download.
    bool silentUpdates = true;
    // UpdateAttempts read and at the limit or above: the next check switches to notify mode.
    bool attemptsExhausted = false;
    // This start fetched the version manifest (and the patch manifest where an update is due),
    // so the offers are known. False when no check was due or the fetch failed: whether the
    // part is still wanted is not known, and it waits.
    bool offersKnown = false;
    // With the offers known: a component needs an update and this start downloads its package.
    bool downloadFollows = false;
    // That package's digest when its download resumes (the manifest binds it by size and
    // SHA-256); empty when it does not.
    std::string downloadDigest;
};

// Why a part goes, or that it stays.
enum class KeptPartFate {
    Keep,
    UpdatesOff,         // notify or disable mode
    AttemptsExhausted,  // no download follows until the attempts are reset
    UpToDate,           // the offers are known and nothing is to be downloaded
    NotOffered,         // the package this start downloads is another one
};

// The fate of the part of the package with digest partDigest (64 lowercase hexadecimal
// characters). The first that applies: updates off; attempts exhausted; offers not known
// (Keep); no download (UpToDate); another package's download (NotOffered); else Keep.
KeptPartFate keptPartFate(const std::string& partDigest, const KeptPartFacts& facts);

inline bool shouldKeepPart(const std::string& partDigest, const KeptPartFacts& facts) {
    return keptPartFate(partDigest, facts) == KeptPartFate::Keep;
}
