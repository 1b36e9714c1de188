// bench_text.h - deterministic benchmark inputs: running text in several scripts, built as
// UTF-16 from weighted character pools with a fixed-seed generator.
#ifndef NOXUNICODE_BENCH_TEXT_H
#define NOXUNICODE_BENCH_TEXT_H

#include "unicode.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace noxbench {

using U16 = std::vector<UChar>;

// xoshiro256** seeded through splitmix64: the same seed gives the same text on every machine.
class Rng {
  public:
    explicit Rng(uint64_t seed);
    uint64_t next();
    uint32_t below(uint32_t n); // uniform in [0, n)
    int range(int lo, int hi);  // uniform in [lo, hi]
    double unit();              // uniform in [0, 1)
    bool chance(double p) { return unit() < p; }

  private:
    uint64_t s_[4];
};

// Weighted choice among items, the weight of the item at rank r being 1/(r+1)^exponent
// (Zipf's law, as word and character frequencies roughly follow).
template <typename T> class ZipfPool {
  public:
    ZipfPool() = default;
    ZipfPool(std::vector<T> items, double exponent);
    bool empty() const { return items_.empty(); }
    size_t size() const { return items_.size(); }
    const T& pick(Rng& rng) const;
    const std::vector<T>& items() const { return items_; }

  private:
    std::vector<T> items_;
    std::vector<double> cdf_;
};

using Word = std::vector<uint32_t>; // code points

enum class Lang { English, French, Russian, Greek, Japanese, Chinese, Korean };
const char* langName(Lang lang);

// Says whether a code point may appear in a text (the code page can encode it, and the peers
// agree on it); rejected code points are dropped where they would have been written.
using Accept = std::function<bool(uint32_t)>;
// Encoded size of a code point in the text's target encoding.
using SizeOf = std::function<size_t(uint32_t)>;

// The ideographs and syllables that the CJK generators draw from, most common first where
// the source gives an order. Empty pools are replaced by plain Unicode ranges.
struct CjkRepertoire {
    std::vector<uint32_t> kanji;            // Japanese: JIS level 1 kanji
    std::vector<uint32_t> hanzi;            // simplified Chinese: GB 2312 level 1 hanzi
    std::vector<uint32_t> hanziTraditional; // traditional Chinese: Big5 frequent hanzi
    std::vector<uint32_t> hangul;           // Korean: the KS X 1001 syllables
};

struct TextOptions {
    Lang lang = Lang::English;
    bool traditional = false;       // Chinese: draw from the traditional pool
    double rareNonAsciiPerWord = 0; // English: share of words carrying a non-ASCII character
    double emojiPerWord = 0;        // spaced languages: share of words followed by emoji
    size_t targetBytes = 4u << 20;  // stop once the encoded size reaches this
    uint64_t seed = 1;
};

// Paragraphs of running text with markup, digits, punctuation and newlines.
U16 makeText(const TextOptions& options, const CjkRepertoire& cjk, const Accept& accept,
             const SizeOf& sizeOf);

// Paragraphs drawn in turn from all seven languages, with an occasional character beyond
// U+FFFF (emoji), until the UTF-8 size reaches targetBytes.
U16 makeMixedText(size_t targetBytes, const CjkRepertoire& cjk, uint64_t seed);

// Paragraphs whose sentences each come from one of the seven languages in turn at random, with
// an occasional emoji, until the encoded size (by sizeOf) reaches targetBytes.
U16 makeSentenceMixText(size_t targetBytes, const CjkRepertoire& cjk, uint64_t seed,
                        const SizeOf& sizeOf);

// Independent UTF helpers used to build and check inputs (not the routines under test).
void appendCodePoint(U16& out, uint32_t cp);
size_t utf8Length(uint32_t cp);
std::string toUtf8(const U16& text);
std::vector<uint32_t> toUtf32(const U16& text);
Word decodeUtf8Literal(const char* s);

} // namespace noxbench

#endif
