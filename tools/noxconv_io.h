// noxconv_io.h - noxconv's input reader, atomic output writer, progress bar and messages.
#ifndef NOXCONV_IO_H
#define NOXCONV_IO_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace noxconv {

// A buffer whose contents are undefined until written: only what was written is ever read,
// so a large buffer costs no clearing, and its pages no memory until they are used (a tiny
// input touches a page or two).
template <typename T> class Buffer {
  public:
    explicit Buffer(std::size_t size) : m_data(new T[size]), m_size(size) {}
    T* data() { return m_data.get(); }
    const T* data() const { return m_data.get(); }
    std::size_t size() const { return m_size; }
    T& operator[](std::size_t index) { return m_data[index]; }

  private:
    std::unique_ptr<T[]> m_data;
    std::size_t m_size;
};

// Writes "noxconv: " and the text as one line on the original standard error, which stays
// reachable while the library's own messages are silenced (silenceLibraryMessages).
void message(const std::string& text);
// Points file descriptor 2 at /dev/null, so that the library's per-character messages do
// not duplicate noxconv's own; message() keeps writing to the original stream.
void silenceLibraryMessages();
// True when the original standard error is a terminal.
bool diagnosticsIsTerminal();
// Writes raw text (no prefix, no newline) to the original standard error.
void writeDiagnostics(const std::string& text);

// Size of a regular file ("-": standard input), else 0; looked at without opening it, since
// opening a named pipe would wait for its writer.
std::uint64_t inputSize(const std::string& path);

// Reads one input in pieces of a fixed size into a buffer that keeps the unconverted rest
// of the previous piece in front of the new bytes.
class Input {
  public:
    explicit Input(std::size_t chunkSize);
    ~Input();
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    // Opens a file, or standard input for "-". On failure returns false and sets `error`.
    bool open(const std::string& path, std::string* error);
    // Keeps the bytes from `keep` to end() and appends up to one piece after them. Returns
    // false on a read error (message in `error`).
    bool refill(const char* keep, std::string* error);

    const char* begin() const { return m_buffer.data(); }
    const char* end() const { return m_buffer.data() + m_length; }
    bool atEof() const { return m_eof; }
    // Offset in the file of the byte at `p` (a position inside the buffer).
    std::uint64_t offsetOf(const char* p) const
    {
        return m_base + static_cast<std::uint64_t>(p - begin());
    }
    // Size of the file when it is a regular file, else 0.
    std::uint64_t size() const { return m_size; }
    std::uint64_t bytesRead() const { return m_base + m_length; }
    const std::string& displayName() const { return m_name; }

  private:
    Buffer<char> m_buffer;
    std::size_t m_chunk;
    std::size_t m_length = 0;
    std::uint64_t m_base = 0;
    std::uint64_t m_size = 0;
    bool m_eof = false;
    int m_fd = -1;
    bool m_ownFd = false;
    std::string m_name;
};

// Collects output in a buffer and writes it to standard output, to a device or pipe
// directly, or to a temporary file whose content goes into the named regular file only
// when commit() succeeds. An existing file keeps its inode, hard links, owner and mode.
class Output {
  public:
    explicit Output(std::size_t capacity);
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Prepares the output: standard output for an empty path, "-" or a path that names the
    // file standard output writes to (/dev/stdout), a device or pipe directly, else a hidden
    // temporary file beside `path` (or in TMPDIR when that folder is not writable). On
    // failure returns false and sets `error`.
    bool open(const std::string& path, std::string* error);
    char* cursor() { return m_buffer.data() + m_length; }
    char* limit() { return m_buffer.data() + m_buffer.size(); }
    void advanceTo(char* p) { m_length = static_cast<std::size_t>(p - m_buffer.data()); }
    // Appends bytes, flushing as needed.
    bool append(const std::string& bytes, std::string* error);
    bool flush(std::string* error);
    // Flushes, then copies the temporary file into the existing file (or renames it into
    // place when there was none) and removes it.
    bool commit(std::string* error);
    // Removes the temporary file, leaving any earlier file of that name as it was.
    void discard();

  private:
    bool mf_createTemporary(const std::string& directory, std::string* error);
    bool mf_copyInto(std::string* error);

    Buffer<char> m_buffer;
    std::size_t m_length = 0;
    int m_fd = 1;
    bool m_ownFd = false;
    std::string m_path;   // as given, for messages
    std::string m_target; // the file that receives the temporary file's content
    bool m_targetExists = false;
    std::string m_tempPath;
};

// A one-line progress bar on standard error, redrawn when the percentage changes; `plain`
// writes one line per update instead, for a standard error that is not a terminal.
class Progress {
  public:
    Progress(bool enabled, std::uint64_t total, bool plain)
        : m_enabled(enabled), m_plain(plain), m_total(total)
    {
    }
    void update(std::uint64_t done);
    void finish();

  private:
    bool m_enabled;
    bool m_plain;
    std::uint64_t m_total;
    long m_shown = -1;
    bool m_drawn = false;
};

} // namespace noxconv

#endif
