// loader.cpp - fuzz target: the UCM file loader on arbitrary file contents, then conversions
// of arbitrary text through whatever table it built (the invariants are in fuzz_checks.h).
//
// Input: the file contents, optionally followed by the marker "@@@@" and the text to
// convert; without the marker the file contents are converted as well.
#include "NoxUCharConverter.h"
#include "fuzz_checks.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// One temporary file per process, rewritten for every input and removed at exit.
class ScratchFile {
  public:
    ScratchFile()
    {
        std::strcpy(mPath, "/tmp/nox_fuzz_loaderXXXXXX");
        const int fd = mkstemp(mPath);
        if (fd < 0) {
            std::abort();
        }
        close(fd);
    }
    ~ScratchFile() { unlink(mPath); }
    const char* write(const uint8_t* data, size_t size) const
    {
        FILE* file = std::fopen(mPath, "wb");
        if (file == nullptr) {
            std::abort();
        }
        std::fwrite(data, 1, size, file);
        std::fclose(file);
        return mPath;
    }

  private:
    char mPath[64];
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const ScratchFile scratch;
    size_t fileSize = size;
    const uint8_t* text = data;
    size_t textSize = size;
    for (size_t i = 0; i + 4 <= size; ++i) {
        if (std::memcmp(data + i, "@@@@", 4) == 0) {
            fileSize = i;
            text = data + i + 4;
            textSize = size - i - 4;
            break;
        }
    }
    const char* path = scratch.write(data, fileSize);
    NoxUConverter* handle = ncnv_loadConverter(path);
    // The same file read once more, into the reference (loading is deterministic).
    const noxref::NoxRefCodePage reference =
        noxref::NoxRefCodePage::fromConverter(NoxUCharConverter(path));
    NOX_CHECK(handle != nullptr);
    int error = noxfuzz::kUnset;
    const int longest = ncnv_MB_CUR_MAX(handle, &error);
    NOX_CHECK(error == 0 && longest >= 0 && longest <= 15);
    noxfuzz::checkConverterOnInput(handle, &reference, text, textSize);
    // The dump walks the whole table; its lines go nowhere.
    ncnv_dumpUTF8(handle, "/dev/null", "w");
    ncnv_releaseConverter(handle);
    return 0;
}
