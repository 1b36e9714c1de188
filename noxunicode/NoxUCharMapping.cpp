// NoxUCharMapping.cpp - packing of code-page bytes and the two orderings of mapping records.
#include "NoxUCharMapping.h"

#include <cstring>

uint16_t NoxUCharMapping::setMBCS(t_mbcsBytes value_in)
{
    // Keep only the leading run of non-zero bytes: a 0 byte ends the character.
    uint16_t retval = 0;
    t_mbcsBytes kept = 0;
    while (retval < 4) {
        const t_mbcsBytes byte = (value_in >> (8 * retval)) & 0xFFu;
        if (byte == 0) {
            break;
        }
        kept |= byte << (8 * retval);
        ++retval;
    }
    mbcsBytes = kept;
    mappingType = static_cast<uint16_t>((mappingType & ~0x07u) | retval);
    return retval;
}

uint16_t NoxUCharMapping::getMBCS(unsigned char* value, uint16_t* valueLen) const
{
    uint16_t retval = 0;
    if (valueLen != nullptr) {
        const uint16_t len = getMBLen();
        if (value != nullptr && len <= *valueLen) {
            for (uint16_t i = 0; i < len; ++i) {
                value[i] = static_cast<unsigned char>(mbcsBytes >> (8 * i));
            }
            retval = len;
        }
        *valueLen = len;
    }
    return retval;
}

uint16_t NoxUCharMapping::getMBCS(t_mbcsBytes* value) const
{
    uint16_t retval = 0;
    if (value != nullptr) {
        *value = mbcsBytes;
        retval = getMBLen();
    }
    return retval;
}

namespace {

// Slots or records that are missing are ordered by the slots' addresses.
int s_compareAddresses(const void* left, const void* right)
{
    int retval = 0;
    if (left > right) {
        retval = 1;
    } else if (left < right) {
        retval = -1;
    }
    return retval;
}

const NoxUCharMapping* s_record(const void* slot)
{
    return slot == nullptr ? nullptr : *static_cast<const NoxUCharMapping* const*>(slot);
}

// Orders by key; among equal keys the record for which `preferred` is true comes first.
template <typename Key, typename Preferred>
int s_compareBy(const void* left, const void* right, Key key, Preferred preferred)
{
    const NoxUCharMapping* l = s_record(left);
    const NoxUCharMapping* r = s_record(right);
    int retval = 0;
    if (l == nullptr || r == nullptr) {
        retval = s_compareAddresses(left, right);
    } else if (key(*l) > key(*r)) {
        retval = 1;
    } else if (key(*l) < key(*r)) {
        retval = -1;
    } else if (preferred(*l) != 0) {
        retval = -1;
    } else if (preferred(*r) != 0) {
        retval = 1;
    }
    return retval;
}

} // namespace

int NoxUCharMapping::s_compareUnicode(const void* left, const void* right)
{
    return s_compareBy(
        left, right, [](const NoxUCharMapping& m) { return m.getUnicode(); },
        [](const NoxUCharMapping& m) { return m.isFromUnicodeDefault(); });
}

int NoxUCharMapping::s_compareMBCS(const void* left, const void* right)
{
    return s_compareBy(
        left, right, [](const NoxUCharMapping& m) { return m.getPackedMBCS(); },
        [](const NoxUCharMapping& m) { return m.isToUnicodeDefault(); });
}

int local_s_compareUnicode(const void* left, const void* right)
{
    return NoxUCharMapping::s_compareUnicode(left, right);
}

int local_s_compareMBCS(const void* left, const void* right)
{
    return NoxUCharMapping::s_compareMBCS(left, right);
}

void NoxLeadByteTable::clear()
{
    std::memset(bytes, 0, sizeof bytes);
    cur_min = 0;
    cur_max = 0;
}
