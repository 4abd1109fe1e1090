#include "run_seed.h"

#include <cerrno>
#include <cstdlib>

bool RunSeed::fixed(unsigned* seed)
{
    const char* value = std::getenv("VELA_TRAINER_SEED");
    if (!value || !*value)
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long n = std::strtoul(value, &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *seed = unsigned(n);
    return true;
}
