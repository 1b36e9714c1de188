// NoxUCharMapping.h - one code-page/Unicode mapping record and the lead-byte table (internal).
#ifndef NOXUNICODE_NOXUCHARMAPPING_H
#define NOXUNICODE_NOXUCHARMAPPING_H

#include <cstdint>

// The bytes of one code-page character, first byte least significant, unused bytes 0.
typedef uint32_t t_mbcsBytes;

// Flag bits of NoxUCharMapping::mappingType; bits 0 to 2 hold the byte length.
enum NoxUnicodeMappingType : uint16_t {
    FromUnicodeDefault = 0x10,
    ToUnicodeDefault = 0x20,
    FromUnicodeFallback = 0x40,
    ToUnicodeFallback = 0x80
};

class NoxUCharMapping {
  public:
    NoxUCharMapping() { clear(); }
    NoxUCharMapping(const NoxUCharMapping& other) = default;
    NoxUCharMapping& operator=(const NoxUCharMapping& other) = default;
    ~NoxUCharMapping() = default;

    void clear()
    {
        mappingType = 0;
        unicodeCharacterValue = 0;
        mbcsBytes = 0;
    }

    // Each setter sets its direction's flag and clears the other flag of that direction.
    void setFromUnicodeDefault() { mf_setFlag(FromUnicodeDefault, FromUnicodeFallback); }
    void setToUnicodeDefault() { mf_setFlag(ToUnicodeDefault, ToUnicodeFallback); }
    void setFromUnicodeFallback() { mf_setFlag(FromUnicodeFallback, FromUnicodeDefault); }
    void setToUnicodeFallback() { mf_setFlag(ToUnicodeFallback, ToUnicodeDefault); }

    int isFromUnicodeDefault() const { return (mappingType & FromUnicodeDefault) != 0 ? 1 : 0; }
    int isToUnicodeDefault() const { return (mappingType & ToUnicodeDefault) != 0 ? 1 : 0; }
    int isFromUnicodeFallback() const { return (mappingType & FromUnicodeFallback) != 0 ? 1 : 0; }
    int isToUnicodeFallback() const { return (mappingType & ToUnicodeFallback) != 0 ? 1 : 0; }

    uint16_t getMBLen() const { return static_cast<uint16_t>(mappingType & 0x0F); }

    void setUnicode(uint16_t value_in) { unicodeCharacterValue = value_in; }
    uint16_t getUnicode() const { return unicodeCharacterValue; }

    // Stores the leading run of non-zero bytes of value_in and returns its length.
    uint16_t setMBCS(t_mbcsBytes value_in);
    // Copies the bytes to value when *valueLen leaves room; stores the length in *valueLen.
    uint16_t getMBCS(unsigned char* value, uint16_t* valueLen) const;
    // Stores the packed bytes; returns the length (0 for a null pointer).
    uint16_t getMBCS(t_mbcsBytes* value) const;
    t_mbcsBytes getPackedMBCS() const { return mbcsBytes; }

    // Orderings for sorting arrays of record pointers (each argument points to a slot).
    static int s_compareUnicode(const void* left, const void* right);
    static int s_compareMBCS(const void* left, const void* right);

    // A plain record: the fields are open to the converter and the parser.
    uint16_t mappingType;
    uint16_t unicodeCharacterValue;
    t_mbcsBytes mbcsBytes;

  private:
    void mf_setFlag(uint16_t set, uint16_t cleared)
    {
        mappingType = static_cast<uint16_t>((mappingType | set) & ~cleared);
    }
};

// The comparison functions handed to qsort.
int local_s_compareUnicode(const void* left, const void* right);
int local_s_compareMBCS(const void* left, const void* right);

// Character length in bytes by first byte, as the UCM lead-byte line gives it.
class NoxLeadByteTable {
  public:
    NoxLeadByteTable() { clear(); }
    NoxLeadByteTable(const NoxLeadByteTable& other) = default;
    NoxLeadByteTable& operator=(const NoxLeadByteTable& other) = default;
    ~NoxLeadByteTable() = default;

    void clear();

    unsigned char bytes[256];
    int32_t cur_min;
    int32_t cur_max;
};

#endif
