#include "heartbeat.h"

#include "atomic_file.h"

#include <locale.h>
#include <time.h>

QByteArray Heartbeat::line(std::time_t when)
{
    struct tm local {};
    localtime_r(&when, &local);
    // The C locale gives the English day and month abbreviations that readers of the file
    // expect; the program's own locale may be any.
    const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(0));
    char text[128] = {};
    const size_t length = strftime_l(text, sizeof text, "%a %b %e %H:%M:%S %Z %Y", &local, cLocale);
    freelocale(cLocale);
    return QByteArray(text, int(length)) + '\n';
}

bool Heartbeat::write(const QString& path)
{
    return AtomicFile::write(path, line(std::time(nullptr)), AtomicFile::Durability::Unsynced);
}
