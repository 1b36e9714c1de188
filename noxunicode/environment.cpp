// environment.cpp - settings read from the environment once per process.
#include "environment.h"

#include <cstdlib>
#include <cstring>

namespace {

// Returns the first of two variables that exists (even empty), else the fallback; the
// result is a duplicate kept for the life of the process.
const char* s_readSetting(const char* first, const char* second, const char* fallback)
{
    const char* value = std::getenv(first);
    if (value == nullptr) {
        value = std::getenv(second);
    }
    if (value == nullptr) {
        value = fallback;
    }
    const char* retval = strdup(value);
    // Out of memory: the literal fallback still lets the library work.
    if (retval == nullptr) {
        retval = fallback;
    }
    return retval;
}

} // namespace

const char* ncnv_getUCMDataPath()
{
    static const char* const s_path = s_readSetting("NOX_UCM_PATH", "QV_UCM_PATH", "/");
    return s_path;
}

const char* ncnv_getDefaultCodePageName()
{
    static const char* const s_name = s_readSetting("NOX_CODE_PAGE", "QV_CODE_PAGE", "LATIN_1");
    return s_name;
}

bool ncnv_isSwitchOn(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && std::strcmp(value, "True") == 0;
}

bool ncnv_getConvertBestEffort()
{
    // A function-local static is read once and safely even when the first queries race.
    static const bool s_bestEffort = ncnv_isSwitchOn("NOX_UNICODE_CONVERT_BEST_EFFORT");
    return s_bestEffort;
}
