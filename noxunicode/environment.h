// environment.h - settings read from the environment once per process (internal).
#ifndef NOXUNICODE_ENVIRONMENT_H
#define NOXUNICODE_ENVIRONMENT_H

// Directory of the UCM files: NOX_UCM_PATH, else QV_UCM_PATH, else "/". Cached at first call.
const char* ncnv_getUCMDataPath();

// Default code-page name: NOX_CODE_PAGE, else QV_CODE_PAGE, else "LATIN_1". Cached.
const char* ncnv_getDefaultCodePageName();

// Best-effort mode: NOX_UNICODE_CONVERT_BEST_EFFORT equals "True". Cached at first call.
bool ncnv_getConvertBestEffort();

// True when the environment variable `name` exists and equals "True" exactly.
bool ncnv_isSwitchOn(const char* name);

#endif
