#include "list/versioncompare.h"

#include <QStringList>

namespace {

struct Part {
    bool hasNumber = false;
    QString digits;  // without leading zeros
    QString rest;
};

Part splitPart(const QString& text)
{
    Part p;
    int i = 0;
    while (i < text.size() && text.at(i) >= QLatin1Char('0') && text.at(i) <= QLatin1Char('9')) ++i;
    if (text.isEmpty()) {
        p.hasNumber = true;  // an empty or missing part counts as 0
    } else if (i > 0) {
        p.hasNumber = true;
        QString digits = text.left(i);
        int z = 0;
        while (z < digits.size() - 1 && digits.at(z) == QLatin1Char('0')) ++z;
        p.digits = digits.mid(z);
    }
    p.rest = text.mid(i);
    if (p.digits.isEmpty() && p.hasNumber) p.digits = QStringLiteral("0");
    return p;
}

int sign(int v) { return (v > 0) - (v < 0); }

int compareParts(const QString& a, const QString& b)
{
    const Part pa = splitPart(a);
    const Part pb = splitPart(b);
    if (pa.hasNumber != pb.hasNumber) return pa.hasNumber ? 1 : -1;
    if (pa.hasNumber) {
        if (pa.digits.size() != pb.digits.size()) return pa.digits.size() < pb.digits.size() ? -1 : 1;
        int c = QString::compare(pa.digits, pb.digits);
        if (c != 0) return sign(c);
    }
    if (pa.rest == pb.rest) return 0;
    if (pa.rest.isEmpty()) return 1;
    if (pb.rest.isEmpty()) return -1;
    return sign(QString::compare(pa.rest, pb.rest));
}

}  // namespace

int compareVersions(const QString& a, const QString& b)
{
    const QString ta = a.trimmed();
    const QString tb = b.trimmed();
    if (ta.isEmpty() || tb.isEmpty()) return ta.isEmpty() == tb.isEmpty() ? 0 : (ta.isEmpty() ? -1 : 1);
    const QStringList pa = ta.split(QLatin1Char('.'));
    const QStringList pb = tb.split(QLatin1Char('.'));
    const int n = qMax(pa.size(), pb.size());
    for (int i = 0; i < n; ++i) {
        int c = compareParts(i < pa.size() ? pa.at(i) : QString(), i < pb.size() ? pb.at(i) : QString());
        if (c != 0) return c;
    }
    return 0;
}
