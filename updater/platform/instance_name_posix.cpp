// POSIX side of the single-instance name: a socket file whose permissions keep other users from
// connecting (the name itself is not reserved: see instance_name.h).
#include "instance_name.h"

QString singleInstanceName(const QString& applicationName)
{
    return applicationName;
}
