#pragma once
// The one piece of work of each service start: decide whether a check is due, fetch and compare
// the offered builds, launch at most one installer, and keep the registry state that carries
// over to the next start.
#include <cstdint>

#include "config/admin_config.h"
#include "download/kept_part_rule.h"
#include "manifest/manifest.h"

// A recorded UpdateAttempts of this many or more stops silent updating (notify mode).
constexpr uint32_t kUpdateAttemptLimit = 7;

// The operations a cycle is made of. SystemUpdateCycleSteps is the real machine; tests may give
// the cycle other answers to see every path.
class UpdateCycleSteps {
public:
    virtual ~UpdateCycleSteps() = default;
    virtual bool isCheckDue() = 0;
    virtual bool fetchManifest(VersionManifest& manifest, bool patch) = 0;
    virtual bool isUpdateNeeded(const ComponentOffer& offer) = 0;
    virtual bool readUpdateAttempts(uint32_t& count) = 0;
    virtual bool incrementUpdateAttempts() = 0;
    // Writes back the count read before an attempt (null: it was absent, and is removed).
    virtual bool restoreUpdateAttempts(const uint32_t* count) = 0;
    // False when no installer was started; the thread's last error then says why, and is
    // ERROR_OPERATION_ABORTED exactly when the stop cut the launch short.
    virtual bool launchInstaller(const ComponentOffer& offer) = 0;
    // True once a stop or shutdown request was raised.
    virtual bool stopRequested() = 0;
    virtual bool setNotifyMode() = 0;
    // LastUpdateCheck = now, then CheckFrequency = the manifest's value (clamped; null gives 1).
    virtual void recordCheck(const uint32_t* checkFrequency) = 0;
    // Removes every part a cut download left whose fate under facts is not Keep
    // (keptPartFate). The cycle asks it once, before any download, with what it knows then.
    virtual void removeKeptParts(const KeptPartFacts& facts) = 0;
};

class SystemUpdateCycleSteps : public UpdateCycleSteps {
public:
    bool isCheckDue() override;
    bool fetchManifest(VersionManifest& manifest, bool patch) override;
    bool isUpdateNeeded(const ComponentOffer& offer) override;
    bool readUpdateAttempts(uint32_t& count) override;
    bool incrementUpdateAttempts() override;
    bool restoreUpdateAttempts(const uint32_t* count) override;
    bool launchInstaller(const ComponentOffer& offer) override;
    bool stopRequested() override;
    bool setNotifyMode() override;
    void recordCheck(const uint32_t* checkFrequency) override;
    void removeKeptParts(const KeptPartFacts& facts) override;
};

// The facts the cycle decides the kept parts by, once the offers are known: the download that
// follows (the ActiveX offer before the plug-in's), and the digest it resumes under, if any.
void noteOffers(KeptPartFacts& facts, const ComponentOffer* download);

// One cycle with the given switches and steps. Parts a cut download left go by keptPartFate:
// at the start when silent updating is off or the attempts are exhausted, else once the
// offers are known, before the download. A stop request is no failed update: once it is
// raised, no download starts, an attempt it cut short is not counted, and nothing is recorded,
// so the next start checks again. An attempt that failed for another reason counts, and the
// check is recorded, whether or not a stop came meanwhile.
void runUpdateCycle(const ServiceSettings& settings, UpdateCycleSteps& steps);
// One cycle as the service runs it, with the clean-up that comes before it, on the loaded
// service settings and the given steps.
void runServiceUpdateCycle(UpdateCycleSteps& steps);
// One cycle on this machine: the loaded service settings and the real steps.
void runUpdateCycle();
