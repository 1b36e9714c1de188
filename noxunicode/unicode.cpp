// unicode.cpp - the exported converter handle functions.
#include "unicode.h"

#include "NoxUCharConverter.h"

#include <new>

// The handle record behind the opaque NoxUConverter of the public header.
struct NoxUConverter {
    const NoxUCharConverter* theConverter;
};

namespace {

NoxUConverter s_defaultConverter = {nullptr};
uint32_t s_defaultConverterCount = 0;

void s_setError(int* errorReturn, int code)
{
    if (errorReturn != nullptr) {
        *errorReturn = code;
    }
}

// The converter behind a handle, or null with error 1 (no handle) or 7 (no converter).
const NoxUCharConverter* s_converterOf(const NoxUConverter* converter, int* errorReturn)
{
    const NoxUCharConverter* retval = nullptr;
    if (converter == nullptr) {
        s_setError(errorReturn, NCNV_ILLEGAL_ARGUMENT);
    } else if (converter->theConverter == nullptr) {
        s_setError(errorReturn, NCNV_NO_CONVERTER);
    } else {
        retval = converter->theConverter;
    }
    return retval;
}

// Wraps a freshly built converter in a handle; null when either cannot be allocated.
NoxUConverter* s_newHandle(const NoxUCharConverter* converter)
{
    NoxUConverter* retval = nullptr;
    if (converter != nullptr) {
        retval = new (std::nothrow) NoxUConverter{converter};
        if (retval == nullptr) {
            delete converter;
        }
    }
    return retval;
}

void s_notProvided(NoxUConverter* converter, char* out, int* outSize, int* errorReturn)
{
    if (converter != nullptr && out != nullptr && outSize != nullptr) {
        out[0] = '\0';
        *outSize = 0;
        s_setError(errorReturn, NCNV_UNSUPPORTED);
    } else {
        s_setError(errorReturn, NCNV_ILLEGAL_ARGUMENT);
    }
}

} // namespace

extern "C" {

NoxUConverter* ncnv_getDefaultUConverter(void)
{
    if (s_defaultConverter.theConverter == nullptr) {
        s_defaultConverter.theConverter = NoxUCharConverter::getDefaultConverter();
    }
    ++s_defaultConverterCount;
    return &s_defaultConverter;
}

NoxUConverter* ncnv_getConverter(const char* codePageName)
{
    return s_newHandle(new (std::nothrow) NoxUCharConverter(nullptr, codePageName));
}

NoxUConverter* ncnv_loadConverter(const char* ucmFilePath)
{
    return s_newHandle(new (std::nothrow) NoxUCharConverter(ucmFilePath));
}

void ncnv_releaseConverter(NoxUConverter* converter)
{
    if (converter == &s_defaultConverter) {
        if (s_defaultConverterCount > 0) {
            --s_defaultConverterCount;
            if (s_defaultConverterCount == 0) {
                NoxUCharConverter::releaseDefaultConverter();
                s_defaultConverter.theConverter = nullptr;
            }
        }
    } else if (converter != nullptr) {
        const NoxUCharConverter* owned = converter->theConverter;
        converter->theConverter = nullptr;
        delete converter;
        delete owned;
    }
}

void ncnv_getConverterName(NoxUConverter* converter, char* out, int* outSize, int* errorReturn)
{
    s_notProvided(converter, out, outSize, errorReturn);
}

void ncnv_getConverterPath(NoxUConverter* converter, char* out, int* outSize, int* errorReturn)
{
    s_notProvided(converter, out, outSize, errorReturn);
}

void ncnv_getConverterFileName(NoxUConverter* converter, char* out, int* outSize, int* errorReturn)
{
    s_notProvided(converter, out, outSize, errorReturn);
}

int ncnv_MB_CUR_MAX(NoxUConverter* converter, int* errorReturn)
{
    int retval = 4;
    const NoxUCharConverter* c = s_converterOf(converter, errorReturn);
    if (c != nullptr) {
        retval = c->cur_max();
        s_setError(errorReturn, NCNV_OK);
    }
    return retval;
}

int ncnv_mblen(NoxUConverter* converter, const char* source, int maxBytes, int* errorReturn)
{
    int retval = -1;
    const NoxUCharConverter* c = s_converterOf(converter, errorReturn);
    if (c != nullptr) {
        retval = c->mf_mblen(source, maxBytes, errorReturn);
    }
    return retval;
}

int ncnv_converterMatchesLocale(NoxUConverter* converter, int* errorReturn)
{
    s_setError(errorReturn, converter != nullptr ? NCNV_UNSUPPORTED : NCNV_ILLEGAL_ARGUMENT);
    return 0;
}

int ncnv_toUChars(NoxUConverter* converter, UChar* out, int outSize, const char* source,
                  int sourceSize, int* errorReturn)
{
    int retval = 0;
    const NoxUCharConverter* c = s_converterOf(converter, errorReturn);
    if (c != nullptr) {
        retval = c->toUChars(out, outSize, source, sourceSize, errorReturn);
    }
    return retval;
}

int ncnv_fromUChars(NoxUConverter* converter, char* out, int outSize, const UChar* source,
                    int sourceSize, int* errorReturn)
{
    int retval = 0;
    const NoxUCharConverter* c = s_converterOf(converter, errorReturn);
    if (c != nullptr) {
        retval = c->fromUChars(out, outSize, source, sourceSize, errorReturn);
    }
    return retval;
}

void ncnv_toUnicode(NoxUConverter* converter, UChar** out, const UChar* outEnd, const char** source,
                    const char* sourceEnd, int* errorReturn)
{
    const NoxUCharConverter* c = s_converterOf(converter, errorReturn);
    if (c != nullptr) {
        c->toUnicode(out, outEnd, source, sourceEnd, errorReturn);
    }
}

void ncnv_fromUnicode(NoxUConverter* converter, char** out, const char* outEnd,
                      const UChar** source, const UChar* sourceEnd, int* errorReturn)
{
    const NoxUCharConverter* c = s_converterOf(converter, errorReturn);
    if (c != nullptr) {
        c->fromUnicode(out, outEnd, source, sourceEnd, errorReturn);
    }
}

void ncnv_dumpUTF8(NoxUConverter* converter, const char* fname, const char* openType)
{
    const NoxUCharConverter* c = s_converterOf(converter, nullptr);
    if (c != nullptr) {
        c->dumpUTF8(fname, openType);
    }
}

} // extern "C"
