// POSIX side of the single-instance name: a socket file whose permissions keep other users out.
#include "instance_name.h"

QString singleInstanceName(const QString& applicationName)
{
    return applicationName;
}
