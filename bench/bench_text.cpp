// bench_text.cpp - deterministic benchmark inputs: vocabularies, character pools and the
// paragraph generators for seven languages and a multilingual mix.
#include "bench_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace noxbench {

// ---------------------------------------------------------------- generator and pools

namespace {

uint64_t splitmix64(uint64_t& x)
{
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t rotl(uint64_t x, int k)
{
    return (x << k) | (x >> (64 - k));
}

} // namespace

Rng::Rng(uint64_t seed)
{
    for (uint64_t& s : s_) {
        s = splitmix64(seed);
    }
}

uint64_t Rng::next()
{
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

uint32_t Rng::below(uint32_t n)
{
    return static_cast<uint32_t>((next() >> 32) * n >> 32);
}

int Rng::range(int lo, int hi)
{
    return lo + static_cast<int>(below(static_cast<uint32_t>(hi - lo + 1)));
}

double Rng::unit()
{
    return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0);
}

template <typename T>
ZipfPool<T>::ZipfPool(std::vector<T> items, double exponent) : items_(std::move(items))
{
    double total = 0;
    cdf_.reserve(items_.size());
    for (size_t r = 0; r < items_.size(); ++r) {
        total += 1.0 / std::pow(static_cast<double>(r + 1), exponent);
        cdf_.push_back(total);
    }
}

template <typename T> const T& ZipfPool<T>::pick(Rng& rng) const
{
    const double u = rng.unit() * cdf_.back();
    const size_t i =
        static_cast<size_t>(std::upper_bound(cdf_.begin(), cdf_.end(), u) - cdf_.begin());
    return items_[std::min(i, items_.size() - 1)];
}

template class ZipfPool<uint32_t>;
template class ZipfPool<Word>;

// ---------------------------------------------------------------- UTF helpers

void appendCodePoint(U16& out, uint32_t cp)
{
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<UChar>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<UChar>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<UChar>(cp));
    }
}

size_t utf8Length(uint32_t cp)
{
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

namespace {

// Walks UTF-16 text as code points (the generators write well-formed pairs only).
template <typename F> void forEachCodePoint(const U16& text, F f)
{
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        }
        f(cp);
    }
}

} // namespace

std::string toUtf8(const U16& text)
{
    std::string out;
    out.reserve(text.size() * 2);
    forEachCodePoint(text, [&out](uint32_t cp) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    });
    return out;
}

std::vector<uint32_t> toUtf32(const U16& text)
{
    std::vector<uint32_t> out;
    out.reserve(text.size());
    forEachCodePoint(text, [&out](uint32_t cp) { out.push_back(cp); });
    return out;
}

// Decodes the well-formed UTF-8 of this file's string literals.
Word decodeUtf8Literal(const char* s)
{
    Word out;
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    while (*p != 0) {
        uint32_t cp = *p;
        int more = 0;
        if (cp >= 0xF0) {
            cp &= 0x07;
            more = 3;
        } else if (cp >= 0xE0) {
            cp &= 0x0F;
            more = 2;
        } else if (cp >= 0xC0) {
            cp &= 0x1F;
            more = 1;
        }
        ++p;
        for (; more > 0 && *p != 0; --more, ++p) {
            cp = cp << 6 | (*p & 0x3Fu);
        }
        out.push_back(cp);
    }
    return out;
}

const char* langName(Lang lang)
{
    switch (lang) {
    case Lang::English:
        return "English";
    case Lang::French:
        return "French";
    case Lang::Russian:
        return "Russian";
    case Lang::Greek:
        return "Greek";
    case Lang::Japanese:
        return "Japanese";
    case Lang::Chinese:
        return "Chinese";
    case Lang::Korean:
        return "Korean";
    }
    return "?";
}

// ---------------------------------------------------------------- vocabularies

namespace {

// Common words, most frequent first.
const char* const s_english[] = {
    "the",       "of",     "and",      "to",        "a",        "in",     "is",      "it",
    "you",       "that",   "he",       "was",       "for",      "on",     "are",     "with",
    "as",        "I",      "his",      "they",      "be",       "at",     "one",     "have",
    "this",      "from",   "or",       "had",       "by",       "not",    "word",    "but",
    "what",      "some",   "we",       "can",       "out",      "other",  "were",    "all",
    "there",     "when",   "up",       "use",       "your",     "how",    "said",    "an",
    "each",      "she",    "which",    "do",        "their",    "time",   "if",      "will",
    "way",       "about",  "many",     "then",      "them",     "write",  "would",   "like",
    "so",        "these",  "her",      "long",      "make",     "thing",  "see",     "him",
    "two",       "has",    "look",     "more",      "day",      "could",  "go",      "come",
    "did",       "number", "sound",    "no",        "most",     "people", "my",      "over",
    "know",      "water",  "than",     "call",      "first",    "who",    "may",     "down",
    "side",      "been",   "now",      "find",      "any",      "new",    "work",    "part",
    "take",      "get",    "place",    "made",      "live",     "where",  "after",   "back",
    "little",    "only",   "round",    "man",       "year",     "came",   "show",    "every",
    "good",      "me",     "give",     "our",       "under",    "name",   "very",    "through",
    "just",      "form",   "sentence", "great",     "think",    "say",    "help",    "low",
    "line",      "differ", "turn",     "cause",     "much",     "mean",   "before",  "move",
    "right",     "boy",    "old",      "too",       "same",     "tell",   "does",    "set",
    "three",     "want",   "air",      "well",      "also",     "play",   "small",   "end",
    "put",       "home",   "read",     "hand",      "port",     "large",  "spell",   "add",
    "even",      "land",   "here",     "must",      "big",      "high",   "such",    "follow",
    "act",       "why",    "ask",      "men",       "change",   "went",   "light",   "kind",
    "off",       "need",   "house",    "picture",   "try",      "us",     "again",   "animal",
    "point",     "mother", "world",    "near",      "build",    "self",   "earth",   "father",
    "converter", "table",  "library",  "character", "encoding", "buffer", "request", "server",
    "version"};

// Words an English text borrows or dresses with typographic punctuation.
const char* const s_englishRare[] = {"\xE2\x80\x9Cquoted\xE2\x80\x9D",
                                     "it\xE2\x80\x99s",
                                     "\xE2\x80\x94",
                                     "caf\xC3\xA9",
                                     "na\xC3\xAFve",
                                     "r\xC3\xA9sum\xC3\xA9",
                                     "\xE2\x82\xAC"
                                     "12",
                                     "\xC2\xA9",
                                     "\xE2\x80\xA6",
                                     "\xC2\xB0"
                                     "C"};

const char* const s_french[] = {"de",
                                "la",
                                "le",
                                "et",
                                "les",
                                "des",
                                "en",
                                "un",
                                "du",
                                "une",
                                "que",
                                "est",
                                "pour",
                                "qui",
                                "dans",
                                "a",
                                "par",
                                "plus",
                                "pas",
                                "au",
                                "sur",
                                "ne",
                                "se",
                                "\xC3\xA0",
                                "il",
                                "sont",
                                "ce",
                                "avec",
                                "\xC3\xA9t\xC3\xA9",
                                "o\xC3\xB9",
                                "tr\xC3\xA8s",
                                "m\xC3\xAAme",
                                "\xC3\xAAtre",
                                "apr\xC3\xA8s",
                                "d\xC3\xA9j\xC3\xA0",
                                "\xC3\xA7"
                                "a",
                                "fran\xC3\xA7"
                                "ais",
                                "nous",
                                "vous",
                                "elle",
                                "mais",
                                "comme",
                                "tout",
                                "faire",
                                "son",
                                "leur",
                                "bien",
                                "aussi",
                                "temps",
                                "deux",
                                "ann\xC3\xA9"
                                "e",
                                "jour",
                                "monde",
                                "premi\xC3\xA8re",
                                "g\xC3\xA9n\xC3\xA9ral",
                                "soci\xC3\xA9t\xC3\xA9",
                                "probl\xC3\xA8me",
                                "syst\xC3\xA8me",
                                "donn\xC3\xA9"
                                "es",
                                "caract\xC3\xA8re",
                                "fen\xC3\xAAtre",
                                "th\xC3\xA9\xC3\xA2tre",
                                "ch\xC3\xA2teau",
                                "for\xC3\xAAt",
                                "h\xC3\xB4pital",
                                "c\xC3\xB4t\xC3\xA9",
                                "go\xC3\xBBt",
                                "ao\xC3\xBBt",
                                "na\xC3\xAF"
                                "f",
                                "No\xC3\xABl",
                                "c\xC5\x93ur",
                                "s\xC5\x93ur",
                                "\xC5\x93uvre",
                                "le\xC3\xA7on",
                                "gar\xC3\xA7on",
                                "re\xC3\xA7u",
                                "fa\xC3\xA7on",
                                "voil\xC3\xA0",
                                "extr\xC3\xAAme",
                                "int\xC3\xA9r\xC3\xAAt",
                                "r\xC3\xA9"
                                "alit\xC3\xA9",
                                "qualit\xC3\xA9",
                                "s\xC3\xA9"
                                "curit\xC3\xA9",
                                "d\xC3\xA9veloppement",
                                "\xC3\xA9v\xC3\xA9nement",
                                "r\xC3\xA9sum\xC3\xA9",
                                "pr\xC3\xA9"
                                "f\xC3\xA9r\xC3\xA9",
                                "num\xC3\xA9ro",
                                "t\xC3\xA9l\xC3\xA9phone",
                                "cr\xC3\xA9"
                                "ation",
                                "l\xE2\x80\x99\xC3\xA9"
                                "cole",
                                "l\xE2\x80\x99\xC3\xA9t\xC3\xA9",
                                "d\xE2\x80\x99\xC3\xAAtre",
                                "aujourd\xE2\x80\x99hui",
                                "maison",
                                "ville",
                                "pays",
                                "ici",
                                "encore",
                                "toujours",
                                "rien",
                                "peu",
                                "petit",
                                "grand",
                                "nouveau",
                                "page",
                                "table",
                                "fichier",
                                "biblioth\xC3\xA8que",
                                "m\xC3\xA9moire",
                                "\xE2\x82\xAC"};

const char* const s_russian[] = {
    "\xD0\xB8",
    "\xD0\xB2",
    "\xD0\xBD\xD0\xB5",
    "\xD0\xBD\xD0\xB0",
    "\xD1\x8F",
    "\xD0\xB1\xD1\x8B\xD1\x82\xD1\x8C",
    "\xD0\xBE\xD0\xBD",
    "\xD1\x81",
    "\xD1\x87\xD1\x82\xD0\xBE",
    "\xD0\xB0",
    "\xD0\xBF\xD0\xBE",
    "\xD1\x8D\xD1\x82\xD0\xBE",
    "\xD0\xBE\xD0\xBD\xD0\xB0",
    "\xD1\x8D\xD1\x82\xD0\xBE\xD1\x82",
    "\xD0\xBA",
    "\xD0\xBD\xD0\xBE",
    "\xD0\xBE\xD0\xBD\xD0\xB8",
    "\xD0\xBC\xD1\x8B",
    "\xD0\xBA\xD0\xB0\xD0\xBA",
    "\xD0\xB8\xD0\xB7",
    "\xD1\x83",
    "\xD0\xBA\xD0\xBE\xD1\x82\xD0\xBE\xD1\x80\xD1\x8B\xD0\xB9",
    "\xD1\x82\xD0\xBE",
    "\xD0\xB7\xD0\xB0",
    "\xD1\x81\xD0\xB2\xD0\xBE\xD0\xB9",
    "\xD0\xB2\xD0\xB5\xD1\x81\xD1\x8C",
    "\xD0\xB3\xD0\xBE\xD0\xB4",
    "\xD0\xBE\xD1\x82",
    "\xD1\x82\xD0\xB0\xD0\xBA",
    "\xD0\xBE",
    "\xD0\xB4\xD0\xBB\xD1\x8F",
    "\xD1\x82\xD1\x8B",
    "\xD0\xB6\xD0\xB5",
    "\xD0\xB2\xD1\x81\xD0\xB5",
    "\xD1\x82\xD0\xBE\xD1\x82",
    "\xD0\xBC\xD0\xBE\xD1\x87\xD1\x8C",
    "\xD0\xB2\xD1\x8B",
    "\xD1\x87\xD0\xB5\xD0\xBB\xD0\xBE\xD0\xB2\xD0\xB5\xD0\xBA",
    "\xD1\x82\xD0\xB0\xD0\xBA\xD0\xBE\xD0\xB9",
    "\xD0\xB5\xD0\xB3\xD0\xBE",
    "\xD1\x81\xD0\xBA\xD0\xB0\xD0\xB7\xD0\xB0\xD1\x82\xD1\x8C",
    "\xD1\x82\xD0\xBE\xD0\xBB\xD1\x8C\xD0\xBA\xD0\xBE",
    "\xD0\xB8\xD0\xBB\xD0\xB8",
    "\xD0\xB5\xD1\x89\xD1\x91",
    "\xD0\xB1\xD1\x8B",
    "\xD1\x81\xD0\xB5\xD0\xB1\xD1\x8F",
    "\xD0\xBE\xD0\xB4\xD0\xB8\xD0\xBD",
    "\xD1\x83\xD0\xB6\xD0\xB5",
    "\xD0\xB4\xD0\xBE",
    "\xD0\xB2\xD1\x80\xD0\xB5\xD0\xBC\xD1\x8F",
    "\xD0\xB5\xD1\x81\xD0\xBB\xD0\xB8",
    "\xD1\x81\xD0\xB0\xD0\xBC",
    "\xD0\xBA\xD0\xBE\xD0\xB3\xD0\xB4\xD0\xB0",
    "\xD0\xB4\xD1\x80\xD1\x83\xD0\xB3\xD0\xBE\xD0\xB9",
    "\xD0\xB2\xD0\xBE\xD1\x82",
    "\xD0\xB3\xD0\xBE\xD0\xB2\xD0\xBE\xD1\x80\xD0\xB8\xD1\x82\xD1\x8C",
    "\xD0\xBD\xD0\xB0\xD1\x88",
    "\xD0\xBC\xD0\xBE\xD0\xB9",
    "\xD0\xB7\xD0\xBD\xD0\xB0\xD1\x82\xD1\x8C",
    "\xD1\x81\xD1\x82\xD0\xB0\xD1\x82\xD1\x8C",
    "\xD0\xBF\xD1\x80\xD0\xB8",
    "\xD1\x87\xD1\x82\xD0\xBE\xD0\xB1\xD1\x8B",
    "\xD0\xB4\xD0\xB5\xD0\xBB\xD0\xBE",
    "\xD0\xB6\xD0\xB8\xD0\xB7\xD0\xBD\xD1\x8C",
    "\xD0\xBA\xD1\x82\xD0\xBE",
    "\xD0\xBF\xD0\xB5\xD1\x80\xD0\xB2\xD1\x8B\xD0\xB9",
    "\xD0\xBE\xD1\x87\xD0\xB5\xD0\xBD\xD1\x8C",
    "\xD0\xB4\xD0\xB2\xD0\xB0",
    "\xD0\xB4\xD0\xB5\xD0\xBD\xD1\x8C",
    "\xD0\xB5\xD1\x91",
    "\xD0\xBD\xD0\xBE\xD0\xB2\xD1\x8B\xD0\xB9",
    "\xD1\x80\xD1\x83\xD0\xBA\xD0\xB0",
    "\xD0\xB4\xD0\xB0\xD0\xB6\xD0\xB5",
    "\xD1\x80\xD0\xB0\xD0\xB7",
    "\xD0\xB3\xD0\xB4\xD0\xB5",
    "\xD1\x82\xD0\xB0\xD0\xBC",
    "\xD0\xBF\xD0\xBE\xD0\xB4",
    "\xD0\xBC\xD0\xBE\xD0\xB6\xD0\xBD\xD0\xBE",
    "\xD0\xBA\xD0\xB0\xD0\xBA\xD0\xBE\xD0\xB9",
    "\xD0\xBF\xD0\xBE\xD1\x81\xD0\xBB\xD0\xB5",
    "\xD0\xB8\xD1\x85",
    "\xD1\x80\xD0\xB0\xD0\xB1\xD0\xBE\xD1\x82\xD0\xB0",
    "\xD0\xB1\xD0\xB5\xD0\xB7",
    "\xD1\x81\xD0\xB0\xD0\xBC\xD1\x8B\xD0\xB9",
    "\xD0\xBF\xD0\xBE\xD1\x82\xD0\xBE\xD0\xBC",
    "\xD0\xBD\xD0\xB0\xD0\xB4\xD0\xBE",
    "\xD1\x81\xD0\xBB\xD0\xBE\xD0\xB2\xD0\xBE",
    "\xD0\xB1\xD0\xBE\xD0\xBB\xD1\x8C\xD1\x88\xD0\xBE\xD0\xB9",
    "\xD0\xBC\xD0\xB5\xD1\x81\xD1\x82\xD0\xBE",
    "\xD1\x82\xD0\xB0\xD0\xB1\xD0\xBB\xD0\xB8\xD1\x86\xD0\xB0",
    "\xD0\xB1\xD0\xB8\xD0\xB1\xD0\xBB\xD0\xB8\xD0\xBE\xD1\x82\xD0\xB5\xD0\xBA\xD0\xB0",
    "\xD1\x81\xD0\xB8\xD0\xBC\xD0\xB2\xD0\xBE\xD0\xBB",
    "\xD0\xBA\xD0\xBE\xD0\xB4\xD0\xB8\xD1\x80\xD0\xBE\xD0\xB2\xD0\xBA\xD0\xB0",
    "\xD1\x81\xD1\x82\xD1\x80\xD0\xB0\xD0\xBD\xD0\xB8\xD1\x86\xD0\xB0",
    "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB",
    "\xC2\xAB\xD0\xB4\xD0\xB0\xC2\xBB",
    "\xE2\x80\x94",
    "\xE2\x84\x96"};

const char* const s_greek[] = {
    "\xCE\xBA\xCE\xB1\xCE\xB9",
    "\xCF\x84\xCE\xBF",
    "\xCE\xB7",
    "\xCF\x84\xCE\xB7\xCF\x82",
    "\xCE\xBD\xCE\xB1",
    "\xCE\xBF",
    "\xCF\x84\xCE\xB7\xCE\xBD",
    "\xCF\x83\xCE\xB5",
    "\xCF\x80\xCE\xBF\xCF\x85",
    "\xCF\x84\xCE\xB1",
    "\xCF\x84\xCE\xBF\xCF\x85",
    "\xCE\xBC\xCE\xB5",
    "\xCE\xB3\xCE\xB9\xCE\xB1",
    "\xCF\x84\xCF\x89\xCE\xBD",
    "\xCE\xB4\xCE\xB5\xCE\xBD",
    "\xCE\xB8\xCE\xB1",
    "\xCE\xB5\xCE\xAF\xCE\xBD\xCE\xB1\xCE\xB9",
    "\xCE\xB1\xCF\x80\xCF\x8C",
    "\xCF\x84\xCE\xBF\xCE\xBD",
    "\xCE\xBF\xCE\xB9",
    "\xCF\x83\xCF\x84\xCE\xBF",
    "\xCE\xAD\xCE\xBD\xCE\xB1",
    "\xCF\x83\xCF\x84\xCE\xB7\xCE\xBD",
    "\xCF\x84\xCE\xB9\xCF\x82",
    "\xCE\xBC\xCE\xB9\xCE\xB1",
    "\xCF\x8C\xCF\x84\xCE\xB9",
    "\xCE\xB1\xCE\xBB\xCE\xBB\xCE\xAC",
    "\xCF\x83\xCF\x84\xCE\xB7",
    "\xCF\x83\xCF\x84\xCE\xB1",
    "\xCF\x8C\xCF\x80\xCF\x89\xCF\x82",
    "\xCE\xBC\xCE\xB1\xCF\x82",
    "\xCF\x80\xCE\xBF\xCE\xBB\xCF\x8D",
    "\xCE\xBC\xCE\xBF\xCF\x85",
    "\xCE\xAE\xCF\x84\xCE\xB1\xCE\xBD",
    "\xCF\x83\xCE\xB1\xCF\x82",
    "\xCE\xB1\xCF\x85\xCF\x84\xCF\x8C",
    "\xCE\xAD\xCF\x87\xCE\xB5\xCE\xB9",
    "\xCF\x84\xCE\xBF\xCF\x85\xCF\x82",
    "\xCF\x8C\xCF\x84\xCE\xB1\xCE\xBD",
    "\xCE\xBC\xCF\x80\xCE\xBF\xCF\x81\xCE\xB5\xCE\xAF",
    "\xCF\x8C\xCE\xBB\xCE\xB1",
    "\xCE\xBA\xCE\xAC\xCE\xB8\xCE\xB5",
    "\xCF\x87\xCF\x81\xCF\x8C\xCE\xBD\xCE\xB9\xCE\xB1",
    "\xCE\xB5\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC",
    "\xCE\xB3\xCE\xBB\xCF\x8E\xCF\x83\xCF\x83\xCE\xB1",
    "\xCF\x80\xCE\xAF\xCE\xBD\xCE\xB1\xCE\xBA\xCE\xB1\xCF\x82",
    "\xCE\xB2\xCE\xB9\xCE\xB2\xCE\xBB\xCE\xB9\xCE\xBF\xCE\xB8\xCE\xAE\xCE\xBA\xCE\xB7",
    "\xCF\x87\xCE\xB1\xCF\x81\xCE\xB1\xCE\xBA\xCF\x84\xCE\xAE\xCF\x81\xCE\xB1\xCF\x82",
    "\xCF\x83\xCE\xB5\xCE\xBB\xCE\xAF\xCE\xB4\xCE\xB1",
    "\xCE\xB7\xCE\xBC\xCE\xAD\xCF\x81\xCE\xB1",
    "\xCE\xAC\xCE\xBD\xCE\xB8\xCF\x81\xCF\x89\xCF\x80\xCE\xBF\xCF\x82",
    "\xCE\xB6\xCF\x89\xCE\xAE",
    "\xCE\xBA\xCF\x8C\xCF\x83\xCE\xBC\xCE\xBF\xCF\x82",
    "\xCF\x8E\xCF\x81\xCE\xB1",
    "\xCE\xBD\xCE\xB5\xCF\x81\xCF\x8C",
    "\xCE\xBF\xCF\x85\xCF\x81\xCE\xB1\xCE\xBD\xCF\x8C\xCF\x82"};

// Japanese particles and endings (hiragana), and loanwords (katakana).
const char* const s_japaneseParticles[] = {"\xE3\x81\xAE",
                                           "\xE3\x81\xAB",
                                           "\xE3\x81\xAF",
                                           "\xE3\x82\x92",
                                           "\xE3\x81\x8C",
                                           "\xE3\x81\xA8",
                                           "\xE3\x81\xA7",
                                           "\xE3\x81\xA6",
                                           "\xE3\x81\x9F",
                                           "\xE3\x82\x82",
                                           "\xE3\x81\x8B\xE3\x82\x89",
                                           "\xE3\x81\xBE\xE3\x81\xA7",
                                           "\xE3\x82\x88\xE3\x82\x8A",
                                           "\xE3\x81\xA7\xE3\x81\x99",
                                           "\xE3\x81\xBE\xE3\x81\x99",
                                           "\xE3\x81\x97\xE3\x81\x9F",
                                           "\xE3\x81\x97\xE3\x81\xBE\xE3\x81\x99",
                                           "\xE3\x81\xA6\xE3\x81\x84\xE3\x82\x8B",
                                           "\xE3\x81\xBE\xE3\x81\x97\xE3\x81\x9F",
                                           "\xE3\x81\xAA\xE3\x81\x84",
                                           "\xE3\x81\x99\xE3\x82\x8B",
                                           "\xE3\x81\x93\xE3\x81\xA8",
                                           "\xE3\x82\x82\xE3\x81\xAE",
                                           "\xE3\x82\x88\xE3\x81\x86\xE3\x81\xAB",
                                           "\xE3\x81\x9F\xE3\x82\x81",
                                           "\xE3\x81\xA8\xE3\x81\x84\xE3\x81\x86"};
const char* const s_japaneseLoanwords[] = {
    "\xE3\x82\xB3\xE3\x83\xB3\xE3\x83\x94\xE3\x83\xA5\xE3\x83\xBC\xE3\x82\xBF",
    "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF",
    "\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAB",
    "\xE3\x83\x86\xE3\x83\xBC\xE3\x83\x96\xE3\x83\xAB",
    "\xE3\x83\xA9\xE3\x82\xA4\xE3\x83\x96\xE3\x83\xA9\xE3\x83\xAA",
    "\xE3\x83\x97\xE3\x83\xAD\xE3\x82\xB0\xE3\x83\xA9\xE3\x83\xA0",
    "\xE3\x82\xB7\xE3\x82\xB9\xE3\x83\x86\xE3\x83\xA0",
    "\xE3\x82\xB5\xE3\x83\xBC\xE3\x83\x90\xE3\x83\xBC",
    "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88",
    "\xE3\x83\x9A\xE3\x83\xBC\xE3\x82\xB8",
    "\xE3\x82\xB3\xE3\x83\xBC\xE3\x83\x89",
    "\xE3\x83\xA6\xE3\x83\xBC\xE3\x82\xB6\xE3\x83\xBC"};

// Korean particles and endings.
const char* const s_koreanParticles[] = {"\xEC\x9D\x80",
                                         "\xEB\x8A\x94",
                                         "\xEC\x9D\xB4",
                                         "\xEA\xB0\x80",
                                         "\xEC\x9D\x84",
                                         "\xEB\xA5\xBC",
                                         "\xEC\x97\x90",
                                         "\xEC\x9D\x98",
                                         "\xEB\x8F\x84",
                                         "\xEB\xA1\x9C",
                                         "\xEC\x97\x90\xEC\x84\x9C",
                                         "\xEC\x9C\xBC\xEB\xA1\x9C",
                                         "\xED\x95\x98\xEA\xB3\xA0",
                                         "\xEC\x9E\x85\xEB\x8B\x88\xEB\x8B\xA4",
                                         "\xED\x95\xA9\xEB\x8B\x88\xEB\x8B\xA4",
                                         "\xEC\x9E\x88\xEB\x8B\xA4",
                                         "\xED\x96\x88\xEB\x8B\xA4",
                                         "\xED\x95\x9C\xEB\x8B\xA4"};

// Emoji as people use them in messages, most frequent first: most lie beyond U+FFFF (four
// UTF-8 bytes, a surrogate pair in UTF-16); a few are BMP symbols with a variation selector,
// one carries a skin tone and two are sequences joined by U+200D.
const std::vector<Word> s_emoji = {{0x1F602},
                                   {0x2764, 0xFE0F},
                                   {0x1F923},
                                   {0x1F44D},
                                   {0x1F62D},
                                   {0x1F64F},
                                   {0x1F618},
                                   {0x1F970},
                                   {0x1F60D},
                                   {0x1F60A},
                                   {0x1F389},
                                   {0x1F601},
                                   {0x1F495},
                                   {0x1F97A},
                                   {0x1F605},
                                   {0x1F525},
                                   {0x263A, 0xFE0F},
                                   {0x1F926},
                                   {0x2665, 0xFE0F},
                                   {0x1F937},
                                   {0x1F644},
                                   {0x1F606},
                                   {0x1F917},
                                   {0x1F609},
                                   {0x1F382},
                                   {0x1F914},
                                   {0x1F44F},
                                   {0x1F642},
                                   {0x1F633},
                                   {0x1F973},
                                   {0x1F60E},
                                   {0x1F44C},
                                   {0x1F49C},
                                   {0x1F614},
                                   {0x1F4AA},
                                   {0x2728},
                                   {0x1F496},
                                   {0x1F440},
                                   {0x1F60B},
                                   {0x1F60F},
                                   {0x1F622},
                                   {0x1F449},
                                   {0x1F497},
                                   {0x1F629},
                                   {0x1F4AF},
                                   {0x1F339},
                                   {0x1F44D, 0x1F3FD},
                                   {0x1F468, 0x200D, 0x1F4BB},
                                   {0x1F3F3, 0xFE0F, 0x200D, 0x1F308}};

template <size_t N> std::vector<Word> s_words(const char* const (&list)[N], const Accept& accept)
{
    std::vector<Word> out;
    for (const char* s : list) {
        Word w = decodeUtf8Literal(s);
        if (std::all_of(w.begin(), w.end(), [&accept](uint32_t cp) { return accept(cp); })) {
            out.push_back(std::move(w));
        }
    }
    return out;
}

std::vector<uint32_t> s_filtered(const std::vector<uint32_t>& items, const Accept& accept)
{
    std::vector<uint32_t> out;
    for (uint32_t cp : items) {
        if (accept(cp)) {
            out.push_back(cp);
        }
    }
    return out;
}

std::vector<uint32_t> s_range(uint32_t first, uint32_t last)
{
    std::vector<uint32_t> out;
    for (uint32_t cp = first; cp <= last; ++cp) {
        out.push_back(cp);
    }
    return out;
}

// Frequency follows the shuffled order, not the order of the code page that supplied a pool.
std::vector<uint32_t> s_shuffled(std::vector<uint32_t> items, uint64_t seed)
{
    Rng rng(seed);
    for (size_t i = items.size(); i > 1; --i) {
        std::swap(items[i - 1], items[rng.below(static_cast<uint32_t>(i))]);
    }
    return items;
}

uint32_t s_toUpper(uint32_t cp)
{
    if ((cp >= 'a' && cp <= 'z') || (cp >= 0xE0 && cp <= 0xFE && cp != 0xF7) ||
        (cp >= 0x430 && cp <= 0x44F) || (cp >= 0x3B1 && cp <= 0x3C9 && cp != 0x3C2)) {
        return cp - 0x20;
    }
    if (cp >= 0x450 && cp <= 0x45F) {
        return cp - 0x50;
    }
    switch (cp) {
    case 0x3AC:
        return 0x386;
    case 0x3AD:
        return 0x388;
    case 0x3AE:
        return 0x389;
    case 0x3AF:
        return 0x38A;
    case 0x3CC:
        return 0x38C;
    case 0x3CD:
        return 0x38E;
    case 0x3CE:
        return 0x38F;
    case 0x153:
        return 0x152;
    default:
        return cp;
    }
}

// Collects accepted code points as UTF-16 and keeps count of their encoded size.
struct Sink {
    U16& out;
    const Accept& accept;
    const SizeOf& sizeOf;
    size_t bytes = 0;

    void put(uint32_t cp)
    {
        if (accept(cp)) {
            appendCodePoint(out, cp);
            bytes += sizeOf(cp);
        }
    }
    void put(const char* ascii)
    {
        for (; *ascii != 0; ++ascii) {
            put(static_cast<unsigned char>(*ascii));
        }
    }
    void put(const Word& w, bool capital = false)
    {
        for (size_t i = 0; i < w.size(); ++i) {
            const uint32_t cp = capital && i == 0 ? s_toUpper(w[i]) : w[i];
            // A capital the text cannot hold stays small.
            put(accept(cp) ? cp : w[i]);
        }
    }
    void number(Rng& rng)
    {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%d",
                      rng.chance(0.5) ? rng.range(1, 99) : rng.range(1000, 2030));
        put(digits);
    }
};

// Everything one language's generator draws from, filtered once by the text's Accept.
struct Pools {
    ZipfPool<Word> vocabulary;
    ZipfPool<Word> rare;      // English: typographic extras
    ZipfPool<Word> particles; // Japanese and Korean endings
    ZipfPool<Word> loanwords; // Japanese katakana words
    ZipfPool<uint32_t> ideographs;
    ZipfPool<uint32_t> hiragana;
    ZipfPool<uint32_t> katakana;
    ZipfPool<Word> emoji;
};

Pools s_makePools(const TextOptions& options, const CjkRepertoire& cjk, const Accept& accept)
{
    Pools p;
    if (options.emojiPerWord > 0) {
        std::vector<Word> emoji;
        std::copy_if(s_emoji.begin(), s_emoji.end(), std::back_inserter(emoji),
                     [&accept](const Word& w) {
                         return std::all_of(w.begin(), w.end(),
                                            [&accept](uint32_t cp) { return accept(cp); });
                     });
        p.emoji = ZipfPool<Word>(std::move(emoji), 1.0);
    }
    switch (options.lang) {
    case Lang::English:
        p.vocabulary = ZipfPool<Word>(s_words(s_english, accept), 1.0);
        p.rare = ZipfPool<Word>(s_words(s_englishRare, accept), 0.5);
        break;
    case Lang::French:
        p.vocabulary = ZipfPool<Word>(s_words(s_french, accept), 1.0);
        break;
    case Lang::Russian:
        p.vocabulary = ZipfPool<Word>(s_words(s_russian, accept), 1.0);
        break;
    case Lang::Greek:
        p.vocabulary = ZipfPool<Word>(s_words(s_greek, accept), 1.0);
        break;
    case Lang::Japanese: {
        const auto& kanji = cjk.kanji.empty() ? s_range(0x4E00, 0x4E00 + 2964) : cjk.kanji;
        p.ideographs = ZipfPool<uint32_t>(s_filtered(s_shuffled(kanji, 11), accept), 1.0);
        p.hiragana =
            ZipfPool<uint32_t>(s_filtered(s_shuffled(s_range(0x3041, 0x3093), 12), accept), 0.7);
        p.katakana =
            ZipfPool<uint32_t>(s_filtered(s_shuffled(s_range(0x30A1, 0x30F6), 13), accept), 0.7);
        p.particles = ZipfPool<Word>(s_words(s_japaneseParticles, accept), 1.0);
        p.loanwords = ZipfPool<Word>(s_words(s_japaneseLoanwords, accept), 1.0);
        break;
    }
    case Lang::Chinese: {
        const auto& source = options.traditional ? cjk.hanziTraditional : cjk.hanzi;
        const auto& hanzi = source.empty() ? s_range(0x4E00, 0x4E00 + 3754) : source;
        p.ideographs = ZipfPool<uint32_t>(s_filtered(s_shuffled(hanzi, 21), accept), 1.0);
        break;
    }
    case Lang::Korean: {
        const auto& hangul = cjk.hangul.empty() ? s_range(0xAC00, 0xAC00 + 2349) : cjk.hangul;
        p.ideographs = ZipfPool<uint32_t>(s_filtered(s_shuffled(hangul, 31), accept), 1.0);
        p.particles = ZipfPool<Word>(s_words(s_koreanParticles, accept), 1.0);
        break;
    }
    }
    return p;
}

void s_endSentence(Sink& sink, Rng& rng, Lang lang)
{
    const double r = rng.unit();
    if (lang == Lang::Japanese || lang == Lang::Chinese) {
        sink.put(r < 0.88 ? 0x3002u : r < 0.94 ? 0xFF1Fu : 0xFF01u);
    } else if (lang == Lang::Greek) {
        sink.put(r < 0.9 ? '.' : ';');
    } else {
        sink.put(r < 0.85 ? "." : r < 0.93 ? "?" : "!");
    }
}

// A sentence of space-separated words (English, French, Russian, Greek, Korean).
void s_wordSentence(Sink& sink, Rng& rng, const Pools& p, const TextOptions& options, bool withEnd)
{
    const int n = rng.range(5, 16);
    const bool quoted = options.lang == Lang::French && rng.chance(0.03);
    if (quoted) {
        sink.put(0xABu);
        sink.put(0xA0u);
    }
    for (int i = 0; i < n; ++i) {
        if (i > 0) {
            sink.put(' ');
        }
        if (rng.chance(0.03)) {
            sink.number(rng);
        } else if (options.lang == Lang::Korean) {
            const int syllables = rng.range(1, 4);
            for (int s = 0; s < syllables && !p.ideographs.empty(); ++s) {
                sink.put(p.ideographs.pick(rng));
            }
            if (!p.particles.empty() && rng.chance(0.5)) {
                sink.put(p.particles.pick(rng));
            }
        } else if (!p.rare.empty() && rng.chance(options.rareNonAsciiPerWord)) {
            sink.put(p.rare.pick(rng));
        } else if (!p.vocabulary.empty()) {
            sink.put(p.vocabulary.pick(rng), i == 0);
        }
        if (!p.emoji.empty() && rng.chance(options.emojiPerWord)) {
            sink.put(' ');
            for (int e = rng.range(1, 3); e > 0; --e) {
                sink.put(p.emoji.pick(rng));
            }
        }
        if (i + 1 < n && rng.chance(0.07)) {
            sink.put(',');
        }
    }
    if (quoted) {
        sink.put(0xA0u);
        sink.put(0xBBu);
    }
    if (withEnd) {
        s_endSentence(sink, rng, options.lang);
    }
}

void s_japaneseSentence(Sink& sink, Rng& rng, const Pools& p, bool withEnd)
{
    const int n = rng.range(4, 12);
    for (int i = 0; i < n; ++i) {
        const double r = rng.unit();
        if (r < 0.55) {
            const int k = rng.range(1, 3);
            for (int j = 0; j < k && !p.ideographs.empty(); ++j) {
                sink.put(p.ideographs.pick(rng));
            }
            if (!p.particles.empty() && rng.chance(0.8)) {
                sink.put(p.particles.pick(rng));
            }
        } else if (r < 0.70) {
            if (!p.loanwords.empty() && rng.chance(0.5)) {
                sink.put(p.loanwords.pick(rng));
            } else {
                const int k = rng.range(2, 5);
                for (int j = 0; j < k && !p.katakana.empty(); ++j) {
                    sink.put(p.katakana.pick(rng));
                }
                if (rng.chance(0.3)) {
                    sink.put(0x30FCu);
                }
            }
        } else if (r < 0.90) {
            const int k = rng.range(1, 4);
            for (int j = 0; j < k && !p.hiragana.empty(); ++j) {
                sink.put(p.hiragana.pick(rng));
            }
        } else if (r < 0.95) {
            sink.number(rng);
            sink.put(rng.chance(0.5) ? 0x5E74u : 0x4EBAu);
        } else {
            sink.put(0x300Cu);
            for (int j = rng.range(2, 6); j > 0 && !p.ideographs.empty(); --j) {
                sink.put(p.ideographs.pick(rng));
            }
            sink.put(0x300Du);
        }
        if (i + 1 < n && rng.chance(0.12)) {
            sink.put(0x3001u);
        }
    }
    if (withEnd) {
        s_endSentence(sink, rng, Lang::Japanese);
    }
}

void s_chineseSentence(Sink& sink, Rng& rng, const Pools& p, bool withEnd)
{
    const int clauses = rng.range(1, 4);
    for (int c = 0; c < clauses; ++c) {
        if (c > 0) {
            sink.put(rng.chance(0.85) ? 0xFF0Cu : 0x3001u);
        }
        const double r = rng.unit();
        if (r < 0.05) {
            sink.number(rng);
            sink.put(0x5E74u);
        }
        const bool quoted = r > 0.95;
        const bool title = r > 0.92 && !quoted;
        if (quoted || title) {
            sink.put(quoted ? 0x201Cu : 0x300Au);
        }
        for (int k = rng.range(3, 12); k > 0 && !p.ideographs.empty(); --k) {
            sink.put(p.ideographs.pick(rng));
        }
        if (quoted || title) {
            sink.put(quoted ? 0x201Du : 0x300Bu);
        }
    }
    if (withEnd) {
        s_endSentence(sink, rng, Lang::Chinese);
    }
}

void s_sentence(Sink& sink, Rng& rng, const Pools& p, const TextOptions& options, bool withEnd)
{
    if (options.lang == Lang::Japanese) {
        s_japaneseSentence(sink, rng, p, withEnd);
    } else if (options.lang == Lang::Chinese) {
        s_chineseSentence(sink, rng, p, withEnd);
    } else {
        s_wordSentence(sink, rng, p, options, withEnd);
    }
}

bool s_spaced(Lang lang)
{
    return lang != Lang::Japanese && lang != Lang::Chinese;
}

// One block of markup: a heading, a list or (mostly) a paragraph of sentences.
void s_paragraph(Sink& sink, Rng& rng, const Pools& p, const TextOptions& options)
{
    const double r = rng.unit();
    if (r < 0.08) {
        sink.put("<h2>");
        s_sentence(sink, rng, p, options, false);
        sink.put("</h2>\n");
    } else if (r < 0.18) {
        sink.put("<ul>\n");
        for (int i = rng.range(2, 5); i > 0; --i) {
            sink.put("  <li>");
            s_sentence(sink, rng, p, options, rng.chance(0.5));
            sink.put("</li>\n");
        }
        sink.put("</ul>\n");
    } else {
        sink.put("<p>");
        for (int i = rng.range(2, 6); i > 0; --i) {
            if (rng.chance(0.04)) {
                char link[64];
                std::snprintf(link, sizeof link, "<a href=\"/docs/%d.html\">", rng.range(1, 999));
                sink.put(link);
                s_sentence(sink, rng, p, options, true);
                sink.put("</a>");
            } else {
                s_sentence(sink, rng, p, options, true);
            }
            if (i > 1 && s_spaced(options.lang)) {
                sink.put(' ');
            }
        }
        sink.put("</p>\n");
    }
}

} // namespace

// ---------------------------------------------------------------- texts

U16 makeText(const TextOptions& options, const CjkRepertoire& cjk, const Accept& accept,
             const SizeOf& sizeOf)
{
    U16 text;
    text.reserve(options.targetBytes + 4096);
    Sink sink{text, accept, sizeOf};
    const Pools pools = s_makePools(options, cjk, accept);
    Rng rng(options.seed);
    while (sink.bytes < options.targetBytes) {
        s_paragraph(sink, rng, pools, options);
    }
    return text;
}

U16 makeMixedText(size_t targetBytes, const CjkRepertoire& cjk, uint64_t seed)
{
    const Lang langs[] = {Lang::English,  Lang::French,  Lang::Russian, Lang::Greek,
                          Lang::Japanese, Lang::Chinese, Lang::Korean};
    const Accept all = [](uint32_t) { return true; };
    const SizeOf utf8 = [](uint32_t cp) { return utf8Length(cp); };
    std::vector<Pools> pools;
    std::vector<TextOptions> options;
    for (Lang lang : langs) {
        TextOptions o;
        o.lang = lang;
        o.rareNonAsciiPerWord = 0.01;
        options.push_back(o);
        pools.push_back(s_makePools(o, cjk, all));
    }
    U16 text;
    text.reserve(targetBytes);
    Sink sink{text, all, utf8};
    Rng rng(seed);
    while (sink.bytes < targetBytes) {
        const size_t i = rng.below(static_cast<uint32_t>(pools.size()));
        s_paragraph(sink, rng, pools[i], options[i]);
        if (rng.chance(0.15)) {
            // Emoji lie beyond U+FFFF: four UTF-8 bytes, a surrogate pair in UTF-16.
            sink.put(0x1F600u + rng.below(0x50));
            sink.put('\n');
        }
    }
    return text;
}

U16 makeSentenceMixText(size_t targetBytes, const CjkRepertoire& cjk, uint64_t seed,
                        const SizeOf& sizeOf)
{
    const Lang langs[] = {Lang::English,  Lang::French,  Lang::Russian, Lang::Greek,
                          Lang::Japanese, Lang::Chinese, Lang::Korean};
    const Accept all = [](uint32_t) { return true; };
    std::vector<Pools> pools;
    std::vector<TextOptions> options;
    for (Lang lang : langs) {
        TextOptions o;
        o.lang = lang;
        o.rareNonAsciiPerWord = 0.01;
        options.push_back(o);
        pools.push_back(s_makePools(o, cjk, all));
    }
    TextOptions emojiOptions;
    emojiOptions.emojiPerWord = 1;
    const Pools emoji = s_makePools(emojiOptions, cjk, all);
    U16 text;
    text.reserve(targetBytes);
    Sink sink{text, all, sizeOf};
    Rng rng(seed);
    while (sink.bytes < targetBytes) {
        sink.put("<p>");
        for (int n = rng.range(2, 8); n > 0; --n) {
            const size_t i = rng.below(static_cast<uint32_t>(pools.size()));
            s_sentence(sink, rng, pools[i], options[i], true);
            if (rng.chance(0.1)) {
                sink.put(emoji.emoji.pick(rng));
            }
            if (n > 1) {
                sink.put(' ');
            }
        }
        sink.put("</p>\n");
    }
    return text;
}

} // namespace noxbench
