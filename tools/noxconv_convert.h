// noxconv_convert.h - the conversion loop: input pieces through UTF-16 to the output, with
// the error policy and the position of each problem.
#ifndef NOXCONV_CONVERT_H
#define NOXCONV_CONVERT_H

#include "noxconv_codec.h"
#include "noxconv_io.h"

#include <cstdint>
#include <vector>

namespace noxconv {

enum class OnError { Stop, Skip, Replace };

// Exit statuses.
enum { ExitOk = 0, ExitConversion = 1, ExitTrouble = 2 };

class Pipeline {
  public:
    Pipeline(Decoder& decoder, Encoder& encoder, Output& output, OnError onError,
             std::size_t chunkSize);

    // Writes the output's byte order mark, if it has one.
    int begin();
    // Converts one input to its end. Returns ExitOk, ExitConversion (a character that cannot
    // be converted, under OnError::Stop) or ExitTrouble (reading or writing failed). The
    // progress bar is advanced by the bytes read, counted on from `doneBefore`.
    int convert(Input& input, Progress& progress, std::uint64_t doneBefore);
    // Characters skipped or replaced so far.
    std::uint64_t problems() const { return m_problems; }

  private:
    int mf_encodePivot(const Input& input, bool final);
    int mf_badInput(Input& input, const char** cursor, bool incomplete);
    int mf_unwritable(const Input& input, const UChar** unit, const UChar* end);
    std::uint64_t mf_locate(const Input& input, std::size_t unitIndex);
    void mf_track(const UChar* from, const UChar* to);
    void mf_report(const Input& input, std::uint64_t offset, const std::string& problem) const;

    Decoder& m_decoder;
    Encoder& m_encoder;
    Output& m_output;
    OnError m_onError;
    std::vector<UChar> m_pivot;
    std::size_t m_pivotLength = 0;
    std::uint64_t m_problems = 0;
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
