// NoxUCharConverter.h - the in-memory form of one code page and its conversions (internal).
#ifndef NOXUNICODE_NOXUCHARCONVERTER_H
#define NOXUNICODE_NOXUCHARCONVERTER_H

#include "NoxUCharMapping.h"
#include "unicode.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

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

    // Bytes held by the lookup caches (0 when they could not be built).
    size_t cacheBytes() const;

    // The table and its indexes: a plain record, read-only after construction.
    uint32_t dataLen;
    NoxUCharMapping* data;
    NoxUCharMapping** unicodeData;
    NoxUCharMapping** mbcsData;
    char* ucmPath;
    char* codePageName;
    char* ucmFilePath;
    NoxLeadByteTable leadBytes;

    static NoxUCharConverter* s_defaultConverter;
    static uint32_t s_defaultRef;
    static std::atomic<bool> s_debug;
    static std::atomic<bool> s_charDebug;

  private:
    // Tests compare the caches with the binary-search lookups through this peer.
    friend class NoxUCharConverterTestPeer;

    void mf_constructor(const char* ucmPath_in, const char* codePageName_in);
    void mf_destructor();
    bool mf_initAscii();
    bool mf_buildTable();
    bool mf_loadData(const char* ucmPath_in, const char* codePageName_in);
    bool mf_loadDataFile(const char* ucmFilePath_in);
    void mf_copyFrom(const NoxUCharConverter& other);
    void mf_clearState();
    static void mf_readDebugSwitches();

    const NoxUCharMapping* mf_findMBChar(const unsigned char* mbstr) const;
    const NoxUCharMapping* mf_findUChar(uint16_t unicodeCharacterValue) const;
    const NoxUCharMapping* mf_findMBCS(t_mbcsBytes key) const;

    // Caches of the two lookups for the fast runs, built once from them.
    void mf_buildCaches();
    void mf_setIdentityFlags();
    void mf_buildPairTable();
    void mf_buildGatherTable();
    static size_t mf_gatherBytes(size_t width);
    void mf_releaseCaches();
    const NoxUCharMapping* mf_lookupBytes(const unsigned char* source, ptrdiff_t avail,
                                          bool* cutOff) const;

    // Runs of characters that need no special handling; they return the count consumed.
    // `room` units or bytes are writable; with `countBeyond` the run goes on counting past
    // them without writing. *produced receives the output length of the run.
    size_t mf_toUFastRun(const unsigned char* src, size_t srcLen, UChar* out, size_t room,
                         bool countBeyond, size_t* produced) const;
    size_t mf_toUPairBlocks(const unsigned char* src, size_t srcLen, UChar* out, size_t* n,
                            size_t room, bool countBeyond) const;
    size_t mf_toUSingleBlocks(const unsigned char* src, size_t srcLen, UChar* out, size_t n,
                              size_t room, bool countBeyond) const;
    size_t mf_fromUDoubleRun(const UChar* src, size_t srcLen, unsigned char* out, size_t n,
                             size_t room, bool countOnly, size_t* produced) const;
    bool mf_startsKeptRun(const UChar* src) const;
    size_t mf_fromUSingleBlocks(const UChar* src, size_t srcLen, unsigned char* out) const;
    size_t mf_fromUFastRun(const UChar* src, size_t srcLen, unsigned char* out, size_t room,
                           bool countBeyond, size_t* produced) const;

    // Code-page entries hold 0x1000000 | length << 16 | unit; Unicode entries hold
    // length << 24 | bytes. 0 leaves a character to the per-character path.
    uint32_t* mf_toUSingle;         // 256 entries by byte, for one-byte lead bytes
    uint32_t** mf_toUDouble;        // 256 rows by first byte, each 256 entries by second byte
    uint32_t** mf_fromURows;        // 256 rows by high byte of the unit, each 256 entries
    uint32_t* mf_emptyRow;          // shared row of 256 zeros for unused rows
    unsigned char* mf_vbmiTables;   // byte-permutation tables of single-byte code pages, or null
    uint16_t* mf_toUPairs;          // units by first byte << 8 | second byte (0: none), or null
    unsigned char* mf_fromUGather;  // bytes by unit for the gathers (0: none), or null
    size_t mf_gatherWidth;          // bytes an entry of mf_fromUGather: 1 or 2
    unsigned char mf_leadRanges[4]; // first and last byte of the two lead-byte ranges
    uint16_t mf_keptFirst;          // with ASCII, units mf_keptFirst-mf_keptLast map to
    uint16_t mf_keptLast;           // the same bytes (1-0x7F when no other range does)
    uint16_t mf_keptToUFirst;       // with ASCII, bytes from it to 0xFF map to the same units
    bool mf_asciiToU;               // bytes 0x01-0x7F map to the same units, one byte each
    bool mf_asciiFromU;             // units 0x01-0x7F map to the same bytes
    bool mf_identityToU;            // the same for all of 0x01-0xFF
    bool mf_singleByteOnly;         // no byte starts a character longer than one byte
};

#endif
