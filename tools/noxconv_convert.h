// noxconv_convert.h - the conversion loop: input pieces through UTF-16 to the output, with
// the error policy and the position of each problem.
#ifndef NOXCONV_CONVERT_H
#define NOXCONV_CONVERT_H

#include "noxconv_codec.h"
#include "noxconv_io.h"

#include <cstdint>
#include <string>
#include <vector>

namespace noxconv {

// What to do with a character that cannot be converted.
enum class OnError {
    Stop,     // report it and end with ExitConversion
    Skip,     // leave it out
    Replace,  // a question mark in a code page, U+FFFD in a Unicode form
    Translit, // a close equivalent where the target holds one, else as Replace
    Escape    // its value as text: &#xHHHH; &#NNNN; or \uHHHH, and \xHH for an input byte
};

enum class EscapeForm { Xml, XmlDecimal, C };

struct ErrorPolicy {
    OnError unwritable = OnError::Stop;  // a character that the output cannot hold
    OnError undecodable = OnError::Stop; // input that cannot be read (never Translit)
    EscapeForm escapeForm = EscapeForm::Xml;
};

// Characters handled under an ErrorPolicy, by what became of them.
struct ProblemCounts {
    std::uint64_t skipped = 0;
    std::uint64_t replaced = 0;
    std::uint64_t transliterated = 0;
    std::uint64_t escaped = 0;
    std::uint64_t total() const { return skipped + replaced + transliterated + escaped; }
    // "3 character(s) could not be converted and were skipped", or with several kinds
    // "3 character(s) could not be converted: 2 transliterated, 1 replaced".
    std::string summary() const;
};

// Exit statuses.
enum { ExitOk = 0, ExitConversion = 1, ExitTrouble = 2 };

class Pipeline {
  public:
    Pipeline(Decoder& decoder, Encoder& encoder, Output& output, const ErrorPolicy& policy,
             std::size_t chunkSize);

    // With `on`, a U+FEFF at the start of each input is dropped.
    void removeSignature(bool on) { m_removeSignature = on; }
    // Converts one input to its end. Returns ExitOk, ExitConversion (a character that cannot
    // be converted, under OnError::Stop) or ExitTrouble (reading or writing failed). The
    // progress bar is advanced by the bytes read, counted on from `doneBefore`.
    int convert(Input& input, Progress& progress, std::uint64_t doneBefore);
    // Characters skipped, replaced, transliterated or escaped so far.
    const ProblemCounts& problems() const { return m_problems; }

  private:
    int mf_writePrefix();
    int mf_writeText(const std::u16string& text);
    bool mf_encodeWhole(const std::u16string& text, std::string* bytes);
    std::u16string mf_escape(unsigned long cp) const;
    std::size_t mf_dropSignature(Input& input, const char* cursor);
    int mf_encodePivot(const Input& input, bool final);
    int mf_badInput(Input& input, const char** cursor, bool incomplete);
    int mf_unwritable(const Input& input, const UChar** unit, const UChar* end);
    std::uint64_t mf_locate(const Input& input, std::size_t unitIndex);
    void mf_track(const UChar* from, const UChar* to);
    void mf_report(const Input& input, std::uint64_t offset, const std::string& problem) const;

    Decoder& m_decoder;
    Encoder& m_encoder;
    Output& m_output;
    ErrorPolicy m_policy;
    bool m_removeSignature = false;
    bool m_prefixWritten = false;
    // Room for the text that stands for an undecodable character is kept free at its end.
    Buffer<UChar> m_pivot;
    std::size_t m_pivotLength = 0;
    ProblemCounts m_problems;
    // Where the units in the pivot came from: the units before m_batchFirst were carried
    // over (a high surrogate waiting for its partner, or a replacement character) from
    // m_carriedOffset; the others were decoded from the input range that starts at
    // m_batchStart.
    std::size_t m_batchFirst = 0;
    std::uint64_t m_carriedOffset = 0;
    const char* m_batchStart = nullptr;
    const char* m_batchEnd = nullptr;
    // Line and column of the next character to be written.
    std::uint64_t m_line = 1;
    std::uint64_t m_column = 1;
};

} // namespace noxconv

#endif
