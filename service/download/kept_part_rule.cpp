// The rule that ends a kept part: it waits only while its own download may still follow.
#include "download/kept_part_rule.h"

KeptPartFate keptPartFate(const std::string& partDigest, const KeptPartFacts& facts) {
    if (!facts.silentUpdates) return KeptPartFate::UpdatesOff;
    if (facts.attemptsExhausted) return KeptPartFate::AttemptsExhausted;
    if (!facts.offersKnown) return KeptPartFate::Keep;
    if (!facts.downloadFollows) return KeptPartFate::UpToDate;
    if (facts.downloadDigest.empty() || facts.downloadDigest != partDigest)
        return KeptPartFate::NotOffered;
    return KeptPartFate::Keep;
}
