#include "log/quotedname.h"

QString quotedName(const QString& s)
{
    QString out(QLatin1Char('"'));
    for (const QChar c : s) {
        const ushort u = c.unicode();
        if (c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            out += QLatin1Char('\\');
            out += c;
        } else if (c == QLatin1Char('\n')) {
            out += QLatin1String("\\n");
        } else if (c == QLatin1Char('\r')) {
            out += QLatin1String("\\r");
        } else if (u < 0x20 || u == 0x7f || u == 0x85 || u == 0x2028 || u == 0x2029) {
            out += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out + QLatin1Char('"');
}
