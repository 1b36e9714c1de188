// NoxUCharConverter.h - the in-memory form of one code page and its conversions (internal).
#ifndef NOXUNICODE_NOXUCHARCONVERTER_H
#define NOXUNICODE_NOXUCHARCONVERTER_H

#include "NoxUCharMapping.h"
#include "unicode.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace nox {
struct CodePageTables;
} // namespace nox

// The kernels' tables of one table, built from its lookups once the table's converters have
// taken a few thousand characters one at a time, or by a conversion long enough to reach that
// alone; not by the open: the open then costs only the reading and sorting of the file, and a
// process that converts a few short strings, or converts only at the exact level, never pays for
// them. Published once, to every converter that shares the table; `built` stays null when they
// cannot be built (no memory), and every character then takes the exact path. `exactSteps`
// counts the characters taken one at a time before the build; threads that convert at once may
// lose each other's counts, which only delays the build.
struct NoxKernelTables {
    std::atomic<nox::CodePageTables*> built;
    std::atomic<bool> unbuildable;
    std::atomic<size_t> exactSteps;
};

// The kernels' tables one conversion runs with (null: the exact path), and how many more
// characters it takes one at a time before they are built (0: they are built, or never will be
// for this conversion). `exactGoal` is the table's count of such characters when they are.
struct NoxKernelUse {
    const nox::CodePageTables* tables;
    size_t exactLeft;
    size_t exactGoal;
};

// A table read once and shared by the converters that have the same file open (or the
// built-in Latin-1 table), and what identifies the version of the file it was read from.
struct NoxSharedTable;
struct NoxFileIdentity;

// What the exact per-character step found for one character, before the output is looked at.
struct NoxCharStep {
    enum Kind { Mapped, PassedThrough, CutOff, Unmapped };
    Kind kind;
    const NoxUCharMapping* record; // Mapped: the record found
    uint16_t value;                // Mapped to Unicode, or PassedThrough: the unit or byte
    int length;                    // input consumed (code page to Unicode) or output bytes
};

class NoxUCharConverter {
  public:
    explicit NoxUCharConverter(const char* ucmFilePath_in);
    NoxUCharConverter(const char* ucmPath_in, const char* codePageName_in);
    NoxUCharConverter(const NoxUCharConverter& other);
    NoxUCharConverter& operator=(const NoxUCharConverter& other);
    ~NoxUCharConverter();

    const char* getCodePageName() const { return codePageName; }
    const char* getUcmPath() const { return ucmPath; }
    const char* getUcmFilePath() const { return ucmFilePath; }

    // The shared default converter, counted by its holders.
    static const NoxUCharConverter* getDefaultConverter();
    static void releaseDefaultConverter();

    int toUChars(UChar* out, int outSize, const char* source, int sourceSize,
                 int* errorReturn) const;
    int fromUChars(char* out, int outSize, const UChar* source, int sourceSize,
                   int* errorReturn) const;
    void toUnicode(UChar** outRef, const UChar* outEnd, const char** sourceRef,
                   const char* sourceEnd, int* errorReturn) const;
    void fromUnicode(char** outRef, const char* outEnd, const UChar** sourceRef,
                     const UChar* sourceEnd, int* errorReturn) const;
    int mf_mblen(const char* source, int maxBytes, int* errorReturn) const;
    int cur_min() const { return leadBytes.cur_min; }
    int cur_max() const { return leadBytes.cur_max; }

    // Writes the table as UCM lines with UTF-8 bytes, to a file or to standard output.
    void dumpUTF8(const char* fname, const char* openType) const;

    // Bytes held by the kernels' tables (0 while they are not built).
    size_t tableBytes() const;

    // The table and its indexes: a plain record, read-only after construction. Each index holds
    // the positions in `data` of the records in its order (4 bytes a slot where a pointer would
    // take 8: the open writes fewer fresh pages). While another converter has the same unchanged
    // file open, the arrays and the kernels' tables are that converter's too (see sharedTable).
    uint32_t dataLen;
    NoxUCharMapping* data;
    uint32_t* unicodeData;
    uint32_t* mbcsData;
    char* ucmPath;
    char* codePageName;
    char* ucmFilePath;
    NoxLeadByteTable leadBytes;
    // Where the kernels' tables of this table are built (null: every character takes the
    // exact path); shared like the arrays.
    NoxKernelTables* kernelTables;
    // The built kernels' tables once a conversion has found them, so that later calls reach
    // them without the step through kernelTables (a long text evicts both from the caches, and
    // every dependent load of a call's start then waits for the second-level cache).
    mutable std::atomic<const nox::CodePageTables*> builtTables{nullptr};

    static NoxUCharConverter* s_defaultConverter;
    static uint32_t s_defaultRef;
    static std::atomic<bool> s_debug;
    static std::atomic<bool> s_charDebug;

  private:
    // Tests reach the lookups through this peer.
    friend class NoxUCharConverterTestPeer;

    // The shared table whose arrays this converter uses, null when it owns its arrays.
    NoxSharedTable* sharedTable;

    void mf_constructor(const char* ucmPath_in, const char* codePageName_in);
    void mf_destructor();
    bool mf_initAscii();
    bool mf_buildTable();
    bool mf_loadData(const char* ucmPath_in, const char* codePageName_in);
    bool mf_loadDataFile(const char* ucmFilePath_in);
    void mf_copyFrom(const NoxUCharConverter& other);
    void mf_clearState();
    static void mf_readDebugSwitches();
    bool mf_readTable(int fd, size_t sizeHint);
    bool mf_adoptShared(const char* ucmFilePath_in, const NoxFileIdentity* identity);
    void mf_share(const char* ucmFilePath_in, const NoxFileIdentity* identity_in);
    void mf_releaseTable();

    const NoxUCharMapping* mf_findMBChar(const unsigned char* mbstr) const;
    const NoxUCharMapping* mf_findUChar(uint16_t unicodeCharacterValue) const;
    const NoxUCharMapping* mf_findMBCS(t_mbcsBytes key) const;
    const NoxUCharMapping* mf_lookupBytes(const unsigned char* source, ptrdiff_t avail,
                                          bool* cutOff) const;
    const nox::CodePageTables* mf_kernelTables() const;
    const nox::CodePageTables* mf_buildKernelTables() const;
    NoxKernelUse mf_kernelUse(bool wanted, ptrdiff_t avail) const;
    bool mf_tookExactStep(NoxKernelUse& use) const;
    void mf_noteExactSteps(const NoxKernelUse& use) const;

    // The exact per-character steps, shared by the counted and pointer-range forms.
    NoxCharStep mf_toUStep(const unsigned char* source, ptrdiff_t avail) const;
    NoxCharStep mf_fromUStep(UChar value) const;
    template <class Output>
    const unsigned char* mf_toU(const unsigned char* source, ptrdiff_t avail, Output& output,
                                int* errorReturn) const;
    template <class Output>
    const UChar* mf_fromU(const UChar* source, ptrdiff_t avail, Output& output,
                          int* errorReturn) const;
};

#endif
