// The desktop updater's version order: total, antisymmetric and transitive on the inputs seen.
#include <QString>

#include "fuzz_support.h"
#include "list/versioncompare.h"

namespace {

int sign(int value) { return (value > 0) - (value < 0); }

// A few recent inputs, so that triples span executions.
std::vector<QString>& seen() {
    static std::vector<QString> recent;
    return recent;
}

void checkTriple(const QString& a, const QString& b, const QString& c) {
    const int ab = sign(compareVersions(a, b)), bc = sign(compareVersions(b, c));
    const int ac = sign(compareVersions(a, c));
    if (ab <= 0 && bc <= 0) FUZZ_ASSERT(ac <= 0);
    if (ab == 0 && bc == 0) FUZZ_ASSERT(ac == 0);
    if (ab >= 0 && bc >= 0) FUZZ_ASSERT(ac >= 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> pieces = splitInput(data, size, 3);
    std::vector<QString> mine;
    for (const std::string& piece : pieces)
        mine.push_back(QString::fromUtf8(piece.data(), static_cast<int>(piece.size())));
    for (const QString& a : mine) {
        FUZZ_ASSERT(compareVersions(a, a) == 0);
        for (const QString& b : mine) FUZZ_ASSERT(sign(compareVersions(a, b)) == -sign(compareVersions(b, a)));
    }
    // Every order of the input's own pieces, then each pair of them against recent inputs.
    for (const QString& a : mine)
        for (const QString& b : mine)
            for (const QString& c : mine) checkTriple(a, b, c);
    std::vector<QString>& recent = seen();
    for (const QString& r : recent) {
        for (const QString& a : mine) {
            FUZZ_ASSERT(sign(compareVersions(a, r)) == -sign(compareVersions(r, a)));
            for (const QString& b : mine) {
                checkTriple(a, b, r);
                checkTriple(a, r, b);
                checkTriple(r, a, b);
            }
        }
    }
    for (const QString& a : mine) {
        if (recent.size() >= 4) recent.erase(recent.begin());
        recent.push_back(a);
    }
    return 0;
}
